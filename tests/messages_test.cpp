// The libraries keep their Chinese messages as GBK bytes; each must be the
// GBK encoding of the readable text it is documented with.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <string>

#include "../logsend/report_messages.h"
#include "../svcquery/query_messages.h"

namespace kiv::test {
namespace {

#if defined(_WIN32)
// Through UTF-16, with the system's code page 936 tables.
std::string to_gbk(const std::string& utf8) {
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(utf8.size(), L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), size);
  EXPECT_GT(n, 0) << utf8;
  std::string out(utf8.size() * 2 + 8, '\0');
  BOOL lossy = FALSE;
  const int m = WideCharToMultiByte(936, 0, wide.data(), n, out.data(),
                                    static_cast<int>(out.size()), nullptr, &lossy);
  EXPECT_GT(m, 0) << utf8;
  EXPECT_FALSE(lossy) << utf8;
  out.resize(static_cast<size_t>(m > 0 ? m : 0));
  return out;
}
#else
std::string to_gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  std::string out(in.size() * 2 + 8, '\0');
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  EXPECT_NE(iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left), static_cast<size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}
#endif

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
