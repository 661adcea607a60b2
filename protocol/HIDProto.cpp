#include "protocol/HIDProto.h"

#include <cstdio>
#include <cstring>

#include "protocol/Log.h"

std::uint8_t HIDCheckSum(const std::uint8_t* data, std::uint32_t len) {
  if (data == nullptr || len == 0) return 0;
  std::uint8_t sum = data[0];
  for (std::uint32_t i = 1; i < len; ++i) sum ^= data[i];
  return sum;
}

namespace {

// Shared shape of the fixed-content builders: fill, code, optional address, check byte.
std::int32_t buildFilled(std::uint8_t* buf, std::uint32_t len, std::uint8_t code,
                         std::uint8_t filler) {
  if (buf == nullptr || len < kReportSize) return -1;
  std::memset(buf, filler, len);
  buf[0] = code;
  buf[7] = HIDCheckSum(buf, kCheckedBytes);
  return 0;
}

void putAddress(std::uint8_t* buf, std::uint16_t address) {
  buf[1] = static_cast<std::uint8_t>(address & 0xFF);
  buf[2] = static_cast<std::uint8_t>(address >> 8);
}

std::uint32_t bigEndian24(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | std::uint32_t{p[2]};
}

}  // namespace

std::int32_t HostGenerateLinkCommand(std::uint8_t* buf, std::uint32_t len) {
  return buildFilled(buf, len, kCmdLink, 0x00);
}

std::int32_t HostGenerateVersionCommand(std::uint8_t* buf, std::uint32_t len) {
  return buildFilled(buf, len, kCmdVersion, 0x00);
}

std::int32_t HostGenerateFormatCommand(std::uint8_t* buf, std::uint32_t len) {
  return buildFilled(buf, len, kCmdFormat, 0x00);
}

std::int32_t HostGenerateBurnCommand(std::uint8_t* buf, std::uint32_t len) {
  return buildFilled(buf, len, kCmdBurn, 0xFF);
}

std::int32_t HostGenerateReadCommand(std::uint8_t* buf, std::uint32_t len, std::uint16_t address) {
  if (buf == nullptr || len < kReportSize) return -1;
  std::memset(buf, 0x00, len);
  buf[0] = kCmdRead;
  putAddress(buf, address);
  buf[7] = HIDCheckSum(buf, kCheckedBytes);
  return 0;
}

std::int32_t HostGenerateWriteCommand(std::uint8_t* buf, std::uint32_t len, std::uint16_t address,
                                      const std::uint8_t data[4]) {
  if (buf == nullptr || len < kReportSize || data == nullptr) return -1;
  buf[0] = kCmdWrite;
  putAddress(buf, address);
  std::memcpy(buf + 3, data, 4);
  buf[7] = HIDCheckSum(buf, kCheckedBytes);
  return 0;
}

std::int32_t HIDReportParse(const std::uint8_t* report, std::uint32_t len, ParsedReport* out) {
  if (report == nullptr || out == nullptr || len < kReportSize) return -1;
  out->id = report[0];
  switch (report[0]) {
    case kCmdLink:
      out->linkValue1 = bigEndian24(report + 1);
      out->linkValue2 = bigEndian24(report + 4);
      break;
    case kCmdFormat:
    case kCmdBurn:
      std::memcpy(out->statusBytes, report + 1, 6);
      break;
    case kCmdRead:
    case kCmdWrite:
      out->address = static_cast<std::uint16_t>(report[1] | (report[2] << 8));
      std::memcpy(out->data, report + 3, 4);
      break;
    case kCmdVersion:
      std::memcpy(out->data, report + 3, 4);
      break;
    default: {
      char line[32];
      std::snprintf(line, sizeof line, "Unknown ID: 0x%x", static_cast<unsigned>(report[0]));
      nuv::logLine(line);
      break;
    }
  }
  return 0;
}

namespace nuv {

bool replyEchoes(const std::uint8_t* command, const std::uint8_t* reply,
                 std::uint32_t replyLength) {
  return command != nullptr && reply != nullptr && replyLength >= 3 && reply[0] == command[0] &&
         reply[1] == command[1] && reply[2] == command[2];
}

}  // namespace nuv
