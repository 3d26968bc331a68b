// The query library's Chinese messages, as the GBK bytes it logs. Each
// carries its readable text in a comment; a test checks the bytes against it.
#pragma once

namespace kiv::svcquery::msg {

// "Failed：Load kiv_json.dll, cause %d"
inline constexpr char kLoadJsonFailed[] =
    "Failed\xA3\xBA"
    "Load kiv_json.dll, cause %d";
// "Failed：Load zlib1.dll, errno: %d"
inline constexpr char kLoadZlibFailed[] =
    "Failed\xA3\xBA"
    "Load zlib1.dll, errno: %d";
// "kiv sdk -- 调用参数出错"
inline constexpr char kParamErrorText[] =
    "kiv sdk -- \xB5\xF7\xD3\xC3\xB2\xCE\xCA\xFD\xB3\xF6\xB4\xED";
// "压缩HTTP请求数据失败: return %d, line: %d, %s, %s"
inline constexpr char kCompressFailed[] =
    "\xD1\xB9\xCB\xF5"
    "HTTP\xC7\xEB\xC7\xF3\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC: return %d, line: %d, %s, %s";
// "获取网络响应数据失败: line: %d, %s, %s"
inline constexpr char kGetRespondFailed[] =
    "\xBB\xF1\xC8\xA1\xCD\xF8\xC2\xE7\xCF\xEC\xD3\xA6\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC: line: %d, "
    "%s, %s";
// "解压HTTP返回数据失败: line: %d, %s, %s, ret=%d"
inline constexpr char kUncompressFailed[] =
    "\xBD\xE2\xD1\xB9"
    "HTTP\xB7\xB5\xBB\xD8\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC: line: %d, %s, %s, ret=%d";
// "参数错误 line: %d, %s, %s"
inline constexpr char kParamLine[] = "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3 line: %d, %s, %s";
// "curl初始化失败 行: %d, %s, %s"
inline constexpr char kCurlInitFailed[] =
    "curl\xB3\xF5\xCA\xBC\xBB\xAF\xCA\xA7\xB0\xDC \xD0\xD0: %d, %s, %s";
// "获取数据失败 行: %d, %s, %s ret:%u error:%s"
inline constexpr char kPerformFailed[] =
    "\xBB\xF1\xC8\xA1\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC \xD0\xD0: %d, %s, %s ret:%u error:%s";
// "用户验证失败！"
inline constexpr char kUserVerifyFailed[] =
    "\xD3\xC3\xBB\xA7\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1";
// "用户提示信息，获得失败！"
inline constexpr char kAdLinkRefused[] =
    "\xD3\xC3\xBB\xA7\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2\xA3\xAC\xBB\xF1\xB5\xC3\xCA\xA7\xB0\xDC\xA3"
    "\xA1";
// "弹框没有的干活 ，直接返回。 ret = %d！ "
inline constexpr char kNoPopup[] =
    "\xB5\xAF\xBF\xF2\xC3\xBB\xD3\xD0\xB5\xC4\xB8\xC9\xBB\xEE "
    "\xA3\xAC\xD6\xB1\xBD\xD3\xB7\xB5\xBB\xD8"
    "\xA1\xA3 ret = %d\xA3\xA1 ";
// "申请内存失败 %s"
inline constexpr char kAllocFailedNamed[] = "\xC9\xEA\xC7\xEB\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC %s";
// "获取验证失败 %d, %s, %s"
inline constexpr char kLoginVpnTransport[] =
    "\xBB\xF1\xC8\xA1\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC %d, %s, %s";
// "调用json_tokener_parser失败 %d, %s, %s"
inline constexpr char kLoginVpnParse[] =
    "\xB5\xF7\xD3\xC3"
    "json_tokener_parser\xCA\xA7\xB0\xDC %d, %s, %s";
// "用户拨号后验证失败！"
inline constexpr char kDialCheckFailed[] =
    "\xD3\xC3\xBB\xA7\xB2\xA6\xBA\xC5\xBA\xF3\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1";
// "服务器返回失败 in %s"
inline constexpr char kServerFailed[] =
    "\xB7\xFE\xCE\xF1\xC6\xF7\xB7\xB5\xBB\xD8\xCA\xA7\xB0\xDC in %s";
// "服务器返回失败 in %s！"
inline constexpr char kServerFailedBang[] =
    "\xB7\xFE\xCE\xF1\xC6\xF7\xB7\xB5\xBB\xD8\xCA\xA7\xB0\xDC in %s\xA3\xA1";
// "解析失败"
inline constexpr char kParseFailed[] = "\xBD\xE2\xCE\xF6\xCA\xA7\xB0\xDC";
// "解析正确"
inline constexpr char kParseOk[] = "\xBD\xE2\xCE\xF6\xD5\xFD\xC8\xB7";

}  // namespace kiv::svcquery::msg
