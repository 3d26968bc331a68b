// The libraries keep their Chinese messages as GBK bytes; each must be the
// GBK encoding of the readable text it is documented with.
#include <gtest/gtest.h>

#include <string>

#include "../logsend/report_messages.h"
#include "../svcquery/query_messages.h"
#include "test_system.h"

namespace kiv::test {
namespace {

// With the system's own converter (iconv, or Windows's code page 936 tables).
std::string to_gbk(const std::string& utf8) {
  std::string gbk;
  EXPECT_TRUE(platform::convert_encoding("UTF-8", "GBK", utf8, &gbk)) << utf8;
  return gbk;
}

TEST(Messages, EveryChineseMessageIsTheGbkOfItsReadableText) {
  namespace s = svcquery::msg;
  namespace l = logsend::msg;
  const std::pair<const char*, const char*> cases[] = {
      {s::kLoadJsonFailed, "Failed：Load kiv_json.dll, cause %d"},
      {s::kLoadZlibFailed, "Failed：Load zlib1.dll, errno: %d"},
      {s::kParamErrorText, "kiv sdk -- 调用参数出错"},
      {s::kCompressFailed, "压缩HTTP请求数据失败: return %d, line: %d, %s, %s"},
      {s::kGetRespondFailed, "获取网络响应数据失败: line: %d, %s, %s"},
      {s::kUncompressFailed, "解压HTTP返回数据失败: line: %d, %s, %s, ret=%d"},
      {s::kParamLine, "参数错误 line: %d, %s, %s"},
      {s::kCurlInitFailed, "curl初始化失败 行: %d, %s, %s"},
      {s::kPerformFailed, "获取数据失败 行: %d, %s, %s ret:%u error:%s"},
      {s::kUserVerifyFailed, "用户验证失败！"},
      {s::kAdLinkRefused, "用户提示信息，获得失败！"},
      {s::kNoPopup, "弹框没有的干活 ，直接返回。 ret = %d！ "},
      {s::kAllocFailedNamed, "申请内存失败 %s"},
      {s::kLoginVpnTransport, "获取验证失败 %d, %s, %s"},
      {s::kLoginVpnParse, "调用json_tokener_parser失败 %d, %s, %s"},
      {s::kDialCheckFailed, "用户拨号后验证失败！"},
      {s::kServerFailed, "服务器返回失败 in %s"},
      {s::kServerFailedBang, "服务器返回失败 in %s！"},
      {s::kParseFailed, "解析失败"},
      {s::kParseOk, "解析正确"},
      {l::kSendLength, "要发送的字符串长度： %d\n"},
      {l::kSendCompressedLength, "要发送的字符串压缩后的长度： %d\n"},
  };
  for (const auto& [bytes, readable] : cases) EXPECT_EQ(bytes, to_gbk(readable)) << readable;
  // The colon after "Failed" is the full-width one, GBK A3 BA.
  EXPECT_EQ(std::string(s::kLoadJsonFailed).substr(6, 2), "\xA3\xBA");
}

}  // namespace
}  // namespace kiv::test
