// TMainForm: the one window of Vornex. Every piece of the program's logic is an event handler
// of this class and runs on the GUI thread: start-up and window state, the device list and the
// report exchange with its time-out, the version query (READ_carClick) and the download
// (WRITE_24AAClick).
//
// A command flow is one click handler that waits for each reply by processing the pending
// messages of the GUI thread, so ticks, input reports, device changes, clicks and the close
// request are all handled inside it; `Busy` is the only guard against a second flow starting
// there.
//
// Ownership: the window owns its controls, the controller `HidCtl` and the device objects it
// claimed (held by the DevListBox entries); it frees the claimed devices to hand them back.
// The application object and the HID process must outlive the window.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/forms/Forms.h"
#include "protocol/ByteSource.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/UpdateImage.h"
#include "win/app/Gauges.h"
#include "win/hid/HidControllerClass.h"

// Program constants.
inline constexpr std::string_view ProgramVersion = nuv::image::kProgramVersion;
// The key of the update device in the device list: its vendor and product ids in hexadecimal,
// "FFFF0100", as DeviceKey writes every device's.
inline constexpr auto kUpdateDeviceKey =
    nuv::hexText<8>(std::uint32_t{nuv::kUpdateVendorId} << 16 | nuv::kUpdateProductId);
inline constexpr std::string_view DeviceKeyFilter = kUpdateDeviceKey;
static_assert(DeviceKeyFilter == "FFFF0100");
inline constexpr std::string_view kApplicationTitle = "USB UPDATA FOR NUV";
// The maker's web address of the caption: a neutral placeholder, the same as QuenlorHID's.
inline constexpr std::string_view kMakerAddress = "www.example.com";

// Result codes of an exchange (`ResultCode`).
inline constexpr std::int32_t ResultNone = 0;
inline constexpr std::int32_t ResultNoDevice = 1;
inline constexpr std::int32_t ResultDataError = 2;
inline constexpr std::int32_t ResultTimeout = 3;
inline constexpr std::int32_t ResultNoResponse = 4;

// Status line colours.
inline constexpr nuv::forms::Color kStatusNormal = nuv::forms::kClBtnFace;
inline constexpr nuv::forms::Color kStatusGreen = nuv::forms::rgb(0, 128, 0);
inline constexpr nuv::forms::Color kStatusRed = nuv::forms::rgb(255, 0, 0);

// The text ReportError shows for a positive result code.
[[nodiscard]] std::string_view ResultText(std::int32_t code);
// The boxes of the download's refusals.
inline constexpr std::string_view kFilesizeError = "Filesize is error";
inline constexpr std::string_view kVersionError = "Version is error";
inline constexpr std::string_view kDeviceVersionError = "Device ver is error";

// How the last Version or Download flow ended, as a value: for front ends that act on the end
// (the terminal's exit code) rather than read the window's texts.
enum class FlowResult {
  None,            // no flow yet, or the open dialog was cancelled
  Completed,       // "Version:...", "Update Completed"
  ImageSize,       // kFilesizeError
  ImageVersion,    // kVersionError
  DeviceVersion,   // kDeviceVersionError: nothing was erased
  ExchangeFailed,  // ReportError's box; see resultCode
  FileError,       // the image could not be read (an exception box)
  Stopped,         // the Stop button ended the download
};
struct FlowOutcome {
  FlowResult result = FlowResult::None;
  std::int32_t resultCode = ResultNone;  // ExchangeFailed: ResultNoDevice ... ResultNoResponse
  std::string deviceVersion;             // a completed version query: the four characters
};
// "%.4x%.4x" of the device's vendor and product identifiers, uppercase.
[[nodiscard]] std::string DeviceKey(const nuv::hid::THidDevice& HidDev);

class TMainForm : public nuv::forms::Form {
 public:
  // Creates the controls and the controller (form loading), then runs FormCreate. Raises
  // nuv::hid::EControllerError when the controller cannot be made.
  TMainForm(nuv::forms::Application& app, nuv::hid::HidProcess& process);
  // Runs the destruction handler (input off), frees the claimed devices, then the controller.
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Handlers, named as the form declares them. Sender arguments are never used.
  void FormCreate();
  void FormActivate();
  void CLOSEME(bool& CanClose);
  void Timer1Timer();
  void stop_buttonClick();
  void ReportError(std::int32_t code);
  void HidCtlDeviceChange(nuv::hid::THidDeviceController& Sender);
  bool HidCtlEnumerate(nuv::hid::THidDevice& HidDev, std::int32_t Idx);
  void DevListBoxClick();
  void ReadBtnClick();
  void ReportReceived(nuv::hid::THidDevice& HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                      std::uint16_t Size);
  void HidCtlDeviceDataError(nuv::hid::THidDevice& HidDev, std::uint32_t Error);
  void SendReport();
  void WaitReply();
  void READ_carClick();
  void WRITE_24AAClick();

  // How the last flow ended (see FlowOutcome).
  [[nodiscard]] const FlowOutcome& lastOutcome() const { return outcome_; }

  // Controls, at the places of the form.
  nuv::forms::Control Panel1;
  nuv::forms::Picture Image1;
  nuv::forms::SpeedButton Write_car;
  nuv::forms::SpeedButton stop_button;
  nuv::forms::SpeedButton READ_car;
  TGauge Gauge1;
  nuv::forms::StatusBar StatusBar1;
  nuv::forms::SpeedButton ReadBtn;
  nuv::forms::ObjectListBox<nuv::hid::THidDevice> DevListBox;
  nuv::forms::LineListBox ListBox1;
  std::unique_ptr<nuv::hid::THidDeviceController> HidCtl;
  nuv::forms::Timer Timer1;
  nuv::forms::OpenDialog OpenFlashfile;

  // Window state (read by tests and front ends; written only by the handlers).
  bool Busy = false;
  bool StopRequested = false;
  bool ReplyReady = false;
  std::int32_t ResultCode = 0;
  std::int32_t TickCount = 0;
  // The output report: report ID, the 8-byte command, then zeros up to the longest output report
  // a HID device can have (4096 bytes and the report ID). A device that asks for more, or for
  // fewer than the 9 bytes a command needs, gets no write: "Data error".
  static constexpr std::size_t kTxReportSize = 4097;
  std::array<std::uint8_t, kTxReportSize> TxReport{};
  // Data bytes of the last input report; a longer report's excess is not kept, and the bytes a
  // shorter one did not carry are zero.
  std::array<std::uint8_t, 64> RxData{};
  // How many bytes of RxData the last input report filled: a reply too short to hold the echoed
  // code and address is refused rather than completed by an earlier reply's bytes.
  std::size_t RxSize = 0;
  std::array<std::uint8_t, 5> FileBuf{};
  nuv::hid::THidDevice* CurrentDevice = nullptr;
  std::string ExeDir;

  [[nodiscard]] nuv::forms::Application& App() const { return app_; }

 private:
  void setStatus(nuv::forms::Color color, std::string_view text);
  // Send and wait; on failure ReportError. True when the reply was accepted.
  [[nodiscard]] bool exchange();
  // WaitReply's loop; with `actOnStop` the download's stop test runs after each round, and true
  // is returned when the flow is to end for a stop.
  [[nodiscard]] bool waitRounds(bool actOnStop);
  void checkReply();
  void freeClaimedDevices();
  // One step of a flow: shows `status`, sends the command that `build` writes after the
  // report-ID byte and waits for its reply. False, with the error reported, when the exchange
  // failed.
  using CommandBuilder = std::int32_t (*)(std::uint8_t* buf, std::uint32_t len);
  [[nodiscard]] bool step(std::string_view status, CommandBuilder build);
  // The download after the dialog; `path` is the chosen file: its image checked, then written.
  void download(const std::string& path);
  // The image checks before anything is sent: false, with the refusal shown, when the file is
  // refused.
  [[nodiscard]] bool imageAccepted(const std::string& path);
  // Link, the device's version, erase, the writes and Burn.
  void writeImage(const std::string& path);
  void fileError(const nuv::Error& error);
  // A refusal of the download: its box, and the outcome that says which.
  void refuse(FlowResult result, std::string_view box);
  // The image checks made before anything is sent, and again when the file is reopened for
  // writing: its size, then its first five bytes (left in FileBuf). The file is left at offset 0.
  enum class ImageCheck { Accepted, WrongSize, WrongVersion, ReadFailed };
  [[nodiscard]] ImageCheck checkImage(nuv::FileSource& file, std::optional<nuv::Error>& readError);
  // Every end of a flow: Busy cleared, the image closed, the gauge hidden, a stop request that
  // no block loop acted on dropped, and the device list rebuilt if a device change came
  // meanwhile.
  struct FlowEnd;

  nuv::forms::Application& app_;
  nuv::hid::HidProcess& process_;
  std::unique_ptr<nuv::FileSource> file_;  // the update image, open during a download
  FlowOutcome outcome_;
  // A device change came while a flow ran; the list is rebuilt when the flow ends.
  bool deviceChangeDeferred_ = false;
  std::array<char, 6 + 2 * 64 + 1> line_{};
};
