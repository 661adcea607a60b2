// The update device's wire protocol: 8-byte command reports, their check byte and the
// parser of the device's 8-byte replies.
//
// Every function works on buffers owned by the caller, keeps no state, allocates nothing and
// may run on any thread. The one side effect is the parser's "Unknown ID" line, which goes to
// the log sink of Log.h.
#pragma once

#include <cstdint>

// Command codes (byte 0 of a command report and of its reply).
inline constexpr std::uint8_t kCmdLink = 0x10;
inline constexpr std::uint8_t kCmdFormat = 0x11;
inline constexpr std::uint8_t kCmdBurn = 0x12;
inline constexpr std::uint8_t kCmdRead = 0x14;
inline constexpr std::uint8_t kCmdWrite = 0x18;
inline constexpr std::uint8_t kCmdVersion = 0x1C;
// Sent by the Windows program only, after a device-list rebuild; nothing answers it.
inline constexpr std::uint8_t kCmdRefresh = 0xFF;

// A command or reply report is 8 bytes; byte 7 of a command is the check byte.
inline constexpr std::uint32_t kReportSize = 8;
inline constexpr std::uint32_t kCheckedBytes = 7;

// The Windows program's own table of command codes, in its order. Each entry is a 32-bit word
// of which only the low byte is read.
inline constexpr std::uint32_t CommandCodes[6] = {kCmdRefresh, kCmdLink,  kCmdFormat,
                                                  kCmdBurn,    kCmdWrite, kCmdVersion};
// Indexes into CommandCodes.
enum CommandIndex : int { kIdxRefresh = 0, kIdxLink, kIdxFormat, kIdxBurn, kIdxWrite, kIdxVersion };

// A parsed reply. The parser fills only the fields of the reply's code; the caller zeroes the
// whole record before each parse, so a refused report leaves `id` at 0.
struct ParsedReport {
  std::uint8_t id;              // byte 0, for every report of 8 bytes or more
  std::uint32_t linkValue1;     // Link: bytes 1..3, big-endian
  std::uint32_t linkValue2;     // Link: bytes 4..6, big-endian
  std::uint8_t statusBytes[6];  // Format, Burn: bytes 1..6
  std::uint16_t address;        // Read, Write: byte 1 + 256 * byte 2
  std::uint8_t data[4];         // Read, Write, Version: bytes 3..6
};

// XOR of data[0] .. data[len - 1]; 0 when len is 0 or data is null.
[[nodiscard]] std::uint8_t HIDCheckSum(const std::uint8_t* data, std::uint32_t len);

// Builders. Each needs len >= 8 and a buffer; otherwise it returns -1 and writes nothing.
// On success it returns 0 with the report in buf[0..7]. All but the Write builder first fill
// buf[0 .. len - 1] with the command's filler (0x00; 0xFF for Burn), so extra bytes past 8
// are filled too. The Write builder sets bytes 0..7 only and leaves the rest as they were.
[[nodiscard]] std::int32_t HostGenerateLinkCommand(std::uint8_t* buf, std::uint32_t len);
[[nodiscard]] std::int32_t HostGenerateVersionCommand(std::uint8_t* buf, std::uint32_t len);
[[nodiscard]] std::int32_t HostGenerateFormatCommand(std::uint8_t* buf, std::uint32_t len);
[[nodiscard]] std::int32_t HostGenerateBurnCommand(std::uint8_t* buf, std::uint32_t len);
[[nodiscard]] std::int32_t HostGenerateReadCommand(std::uint8_t* buf, std::uint32_t len,
                                                   std::uint16_t address);
[[nodiscard]] std::int32_t HostGenerateWriteCommand(std::uint8_t* buf, std::uint32_t len,
                                                    std::uint16_t address,
                                                    const std::uint8_t data[4]);

// Parses one reply. Needs len >= 8 and a report; otherwise returns -1 and leaves out
// untouched. Returns 0 otherwise, also for an unknown code, which is logged as
// "Unknown ID: 0x<code>" and fills only `id`. Byte 7 and bytes past 8 are not looked at.
[[nodiscard]] std::int32_t HIDReportParse(const std::uint8_t* report, std::uint32_t len,
                                          ParsedReport* out);

namespace nuv {

// True when `reply` repeats bytes 0 to 2 of `command`: its code and the two parameter (address)
// bytes. This is how a reply is told to answer the command just sent; a reply shorter than
// three bytes answers nothing.
[[nodiscard]] bool replyEchoes(const std::uint8_t* command, const std::uint8_t* reply,
                               std::uint32_t replyLength);

}  // namespace nuv
