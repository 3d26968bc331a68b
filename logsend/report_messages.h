// The report library's Chinese texts, as the GBK bytes it prints. Each
// carries its readable text in a comment; a test checks the bytes against it.
#pragma once

namespace kiv::logsend::msg {

// "要发送的字符串长度： %d\n"
inline constexpr char kSendLength[] =
    "\xD2\xAA\xB7\xA2\xCB\xCD\xB5\xC4\xD7\xD6\xB7\xFB\xB4\xAE\xB3\xA4\xB6\xC8\xA3\xBA %d\n";
// "要发送的字符串压缩后的长度： %d\n"
inline constexpr char kSendCompressedLength[] =
    "\xD2\xAA\xB7\xA2\xCB\xCD\xB5\xC4\xD7\xD6\xB7\xFB\xB4\xAE\xD1\xB9\xCB\xF5\xBA\xF3\xB5\xC4\xB3"
    "\xA4"
    "\xB6\xC8\xA3\xBA %d\n";

}  // namespace kiv::logsend::msg
