#include "win/app/Unit1.h"

#include <algorithm>
#include <cstdio>

#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "win/app/SysError.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kAcceptedImageSize = nuv::image::kImageSize;
// The wait between two rounds of message processing when nothing is pending; the backends
// wake earlier for any message, hand-over or tick, so this only bounds a wait.
constexpr auto kIdleWait = 50ms;
// Lines a download logs: Link, Version, Format, 16,128 Writes, Burn.
constexpr std::size_t kLogLines = nuv::image::WindowsImageWalk::kWriteCount + 8;

char hexDigit(unsigned v) {
  return "0123456789ABCDEF"[v & 0xF];
}

}  // namespace

std::string_view ResultText(std::int32_t code) {
  switch (code) {
    case ResultNoDevice:
      return "No connected";
    case ResultDataError:
      return "Data error";
    case ResultTimeout:
      return "Time out  error";
    case ResultNoResponse:
      return "No  respond";
    default:
      return "other error";
  }
}

std::string DeviceKey(const nuv::hid::THidDevice& HidDev) {
  char key[16];
  std::snprintf(key, sizeof key, "%.4X%.4X", HidDev.HidAttributes().VendorID,
                HidDev.HidAttributes().ProductID);
  return key;
}

TMainForm::TMainForm(nuv::forms::Application& app, nuv::hid::HidProcess& process)
    : Gauge1(app.controlFont(), [&app](nuv::forms::Color c) { return app.resolveColor(c); }),
      ListBox1(kLogLines),
      Timer1(app),
      OpenFlashfile(app),
      app_(app),
      process_(process) {
  // Form loading: the stored properties of the form resource.
  setClientSize(560, 474);
  Panel1.setBounds(0, 0, 560, 474 - 41);
  Image1.setBounds(1, 1, 558, 160);
  Image1.setResource("banner");
  Write_car.setBounds(25, 132, 120, 48);
  Write_car.setCaption("&Download");
  Write_car.setHint("Download");
  Write_car.setGlyph("download");
  Write_car.setEnabled(false);
  Write_car.onClick = [this] { WRITE_24AAClick(); };
  stop_button.setBounds(147, 132, 120, 48);
  stop_button.setCaption("&Stop");
  stop_button.setHint("Read ID");
  stop_button.setGlyph("stop");
  stop_button.onClick = [this] { stop_buttonClick(); };
  READ_car.setBounds(268, 132, 108, 48);
  READ_car.setCaption("&Version");
  READ_car.setHint("Read Out ");
  READ_car.setGlyph("version");
  READ_car.setEnabled(false);
  READ_car.onClick = [this] { READ_carClick(); };
  Gauge1.SetLoading(true);
  Gauge1.setBounds(1, 474 - 41 - 1 - 33, 558, 33);
  Gauge1.setVisible(false);
  Gauge1.SetProgress(0);
  Gauge1.SetLoading(false);
  StatusBar1.setBounds(0, 474 - 41, 560, 41);
  StatusBar1.setPanelText("Idle");
  ReadBtn.setBounds(-200, -200, 23, 22);
  ReadBtn.setCaption("Read");
  ReadBtn.setGroup(1, true);
  ReadBtn.setVisible(false);
  ReadBtn.onClick = [this] { ReadBtnClick(); };
  DevListBox.setBounds(14, 64, 131, 49);
  DevListBox.setVisible(false);
  ListBox1.setBounds(24, 208, 369, 161);
  ListBox1.setVisible(false);
  OpenFlashfile.title = "Open updata File";
  OpenFlashfile.filter = "UPDATA  file(*.nuv)|*.nuv";
  OpenFlashfile.defaultExt = "nuv";
  OpenFlashfile.options = {
      .hideReadOnly = true, .pathMustExist = true, .fileMustExist = true, .enableSizing = true};
  Timer1.setInterval(200ms);
  Timer1.onTimer = [this] { Timer1Timer(); };
  Timer1.setEnabled(true);
  onActivate = [this] { FormActivate(); };
  onCloseQuery = [this](bool& canClose) { CLOSEME(canClose); };

  HidCtl = std::make_unique<nuv::hid::THidDeviceController>(process_);
  HidCtl->SetDevThreadSleepTime(200);
  HidCtl->SetOnEnumerate(nuv::hid::THidEnumerateEvent::of<&TMainForm::HidCtlEnumerate>(*this));
  HidCtl->SetOnDeviceDataError(
      nuv::hid::THidDataErrorEvent::of<&TMainForm::HidCtlDeviceDataError>(*this));

  FormCreate();
}

TMainForm::~TMainForm() {
  DevListBoxClick();
  freeClaimedDevices();
  HidCtl.reset();
}

void TMainForm::FormCreate() {
  StopRequested = false;
  Busy = false;
  const std::string exe = app_.exePath();
  const std::size_t slash = exe.find_last_of("/\\");
  ExeDir = slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
  setCaption(std::string(kMakerAddress) + "   " + std::string(ProgramVersion));
}

void TMainForm::FormActivate() {
  HidCtl->SetOnDeviceChange(nuv::hid::TNotifyEvent::of<&TMainForm::HidCtlDeviceChange>(*this));
  DevListBoxClick();
}

void TMainForm::CLOSEME(bool& CanClose) {
  StopRequested = true;
  CanClose = true;
}

void TMainForm::Timer1Timer() {
  ++TickCount;
  if (TickCount > 20) {
    ResultCode = ResultTimeout;
    Timer1.setEnabled(false);
  }
}

void TMainForm::stop_buttonClick() {
  if (Busy) StopRequested = true;
}

void TMainForm::setStatus(nuv::forms::Color color, std::string_view text) {
  StatusBar1.setColor(color);
  StatusBar1.setPanelText(text);
}

void TMainForm::ReportError(std::int32_t code) {
  if (code <= 0) return;
  outcome_ = {FlowResult::ExchangeFailed, code, {}};
  const std::string_view text = ResultText(code);
  setStatus(kStatusRed, text);
  app_.messageBox(nuv::forms::BoxKind::Error, text);
}

void TMainForm::freeClaimedDevices() {
  for (int i = 0; i < DevListBox.count(); ++i) {
    nuv::hid::THidDevice* device = DevListBox.item(i).object;
    DevListBox.setObject(i, nullptr);
    if (device == CurrentDevice) CurrentDevice = nullptr;
    delete device;  // hands it back to the controller
  }
  DevListBox.clear();
}

void TMainForm::HidCtlDeviceChange(nuv::hid::THidDeviceController& /*Sender*/) {
  // Any HID device that comes or goes (a mouse, a keyboard) would otherwise rebuild the list in
  // the middle of a flow: input switched off, the flow's device freed, a Refresh sent between a
  // command and its reply. The flow keeps its device (one that is gone fails its exchange by
  // itself) and the list is rebuilt when the flow ends.
  if (Busy) {
    deviceChangeDeferred_ = true;
    return;
  }
  deviceChangeDeferred_ = false;
  ReadBtn.setDown(false);
  ReadBtnClick();
  freeClaimedDevices();
  CurrentDevice = nullptr;
  (void)HidCtl->WalkDevices();
  if (DevListBox.count() > 0) {
    DevListBox.setItemIndex(0);
    DevListBoxClick();
    READ_car.setEnabled(true);
    Write_car.setEnabled(true);
    // The refresh report: bytes 3 to 8 go out as the previous report left them.
    TxReport[0] = 0;
    TxReport[1] = static_cast<std::uint8_t>(CommandCodes[kIdxRefresh]);
    TxReport[2] = 0;
    ReplyReady = false;
    SendReport();
  } else {
    READ_car.setEnabled(false);
    Write_car.setEnabled(false);
  }
}

bool TMainForm::HidCtlEnumerate(nuv::hid::THidDevice& HidDev, std::int32_t Idx) {
  if (DeviceKey(HidDev) != DeviceKeyFilter) return true;
  std::unique_ptr<nuv::hid::THidDevice> claimed = HidCtl->ClaimDevice(Idx);
  // An entry without a device could only ever answer "No connected" and would hide a second
  // device behind it: a device that cannot be claimed gets no entry.
  if (claimed != nullptr) DevListBox.add(DeviceKey(HidDev), claimed.release());
  return true;
}

void TMainForm::DevListBoxClick() {
  ReadBtn.setDown(false);
  ReadBtnClick();
}

void TMainForm::ReadBtnClick() {
  CurrentDevice = nullptr;
  const int selected = DevListBox.itemIndex();
  if (DevListBox.count() == 0 || selected < 0) return;
  nuv::hid::THidDevice* device = DevListBox.item(selected).object;
  if (device == nullptr) return;
  CurrentDevice = device;
  if (!device->CanReadWrite()) {
    ReadBtn.setDown(false);
    return;
  }
  if (ReadBtn.down()) {
    device->SetOnReport(nuv::hid::THidDataEvent::of<&TMainForm::ReportReceived>(*this));
  } else {
    device->SetOnReport(nullptr);
  }
}

void TMainForm::ReportReceived(nuv::hid::THidDevice& /*HidDev*/, std::uint8_t ReportID,
                               const std::uint8_t* Data, std::uint16_t Size) {
  std::size_t n = 0;
  line_[n++] = 'R';
  line_[n++] = ' ';
  line_[n++] = hexDigit(ReportID >> 4);
  line_[n++] = hexDigit(ReportID);
  line_[n++] = ' ';
  line_[n++] = ' ';
  // RxData holds 64 bytes: what a longer report carries beyond them is neither kept nor logged.
  const std::size_t kept = Size < RxData.size() ? Size : RxData.size();
  for (std::size_t i = 0; i < kept; ++i) {
    RxData[i] = Data[i];
    line_[n++] = hexDigit(Data[i] >> 4);
    line_[n++] = hexDigit(Data[i]);
  }
  std::fill(RxData.begin() + static_cast<std::ptrdiff_t>(kept), RxData.end(), std::uint8_t{0});
  RxSize = kept;
  ReplyReady = true;
  ListBox1.addLine(std::string_view(line_.data(), n));
}

void TMainForm::HidCtlDeviceDataError(nuv::hid::THidDevice& /*HidDev*/, std::uint32_t Error) {
  char text[320];
  std::snprintf(text, sizeof text, "READ ERROR: %s (%X)", SysErrorMessage(Error).c_str(),
                static_cast<unsigned>(Error));
  StatusBar1.setPanelText(text);
}

void TMainForm::SendReport() {
  // A report the device sent before this command (unasked, or late while a box or the dialog
  // was up) may still wait for its hand-over; it is delivered now, so that it is never taken as
  // this command's reply.
  process_.gui.checkSynchronize();
  ResultCode = ResultNone;
  ReplyReady = false;
  if (CurrentDevice == nullptr) {
    ResultCode = ResultNoDevice;
  } else {
    const std::uint32_t length = CurrentDevice->Capabilities().OutputReportByteLength;
    std::uint32_t written = 0;
    if (length < 1 + kReportSize || length > TxReport.size() ||
        !CurrentDevice->WriteReport(TxReport.data(), length, written)) {
      ResultCode = ResultDataError;
    }
  }
  TickCount = 0;
  Timer1.setEnabled(true);
}

bool TMainForm::waitRounds(bool actOnStop) {
  for (;;) {
    app_.processMessages();
    if (actOnStop && StopRequested) {
      StopRequested = false;
      outcome_ = {FlowResult::Stopped, ResultNone, {}};
      ReportError(ResultCode);
      return true;
    }
    if (ReplyReady || ResultCode > 0) return false;
    app_.waitForMessages(kIdleWait);
  }
}

void TMainForm::checkReply() {
  if (!ReplyReady) return;
  // RxSize is at most RxData's 64 bytes.
  if (!nuv::replyEchoes(TxReport.data() + 1, RxData.data(), static_cast<std::uint32_t>(RxSize))) {
    ResultCode = ResultDataError;
  }
  if (RxData[0] == 0) ResultCode = ResultNoResponse;
}

void TMainForm::WaitReply() {
  (void)waitRounds(false);
  checkReply();
}

bool TMainForm::exchange() {
  SendReport();
  if (ResultCode != 0) {
    ReportError(ResultCode);
    return false;
  }
  WaitReply();
  if (ResultCode != 0) {
    ReportError(ResultCode);
    return false;
  }
  return true;
}

// A stop request that no block loop acted on is dropped, so that it cannot end the next
// download after its erase.
struct TMainForm::FlowEnd {
  TMainForm& form;
  ~FlowEnd() {
    form.Busy = false;
    form.StopRequested = false;
    form.file_.reset();
    if (form.Gauge1.visible()) form.Gauge1.setVisible(false);
    if (form.deviceChangeDeferred_) form.HidCtlDeviceChange(*form.HidCtl);
  }
};

void TMainForm::READ_carClick() {
  if (Busy) return;
  Busy = true;
  outcome_ = {};
  FlowEnd end{*this};
  ListBox1.clear();
  ReadBtn.setDown(true);
  ReadBtnClick();

  if (!step("Link...", HostGenerateLinkCommand)) return;
  if (!step("Get version...", HostGenerateVersionCommand)) return;

  std::string version;
  for (int i = 3; i <= 6; ++i) version.push_back(static_cast<char>(RxData[i]));
  outcome_ = {FlowResult::Completed, ResultNone, version};
  setStatus(kStatusGreen, "Version:" + version);
}

void TMainForm::fileError(const nuv::Error& error) {
  outcome_ = {FlowResult::FileError, ResultNone, {}};
  app_.messageBox(nuv::forms::BoxKind::Exception, error.describe());
}

void TMainForm::refuse(FlowResult result, std::string_view box) {
  outcome_ = {result, ResultNone, {}};
  app_.messageBox(nuv::forms::BoxKind::Plain, box);
}

void TMainForm::WRITE_24AAClick() {
  if (Busy) return;
  Busy = true;
  outcome_ = {};
  FlowEnd end{*this};
  ListBox1.clear();
  ReadBtn.setDown(true);
  ReadBtnClick();

  OpenFlashfile.fileName = "UPDATA.nuv";
  OpenFlashfile.initialDir = ExeDir;
  if (!OpenFlashfile.execute()) return;
  download(OpenFlashfile.fileName);
}

TMainForm::ImageCheck TMainForm::checkImage(nuv::FileSource& file,
                                            std::optional<nuv::Error>& readError) {
  if (!nuv::image::sizeAccepted(file.size())) return ImageCheck::WrongSize;
  const nuv::ReadOutcome head = file.read(FileBuf.data(), FileBuf.size());
  if (head.error) {
    readError = head.error;
    return ImageCheck::ReadFailed;
  }
  if (head.count != FileBuf.size() || !nuv::image::versionAccepted(FileBuf))
    return ImageCheck::WrongVersion;
  if (auto failed = file.seek(0)) {
    readError = failed;
    return ImageCheck::ReadFailed;
  }
  return ImageCheck::Accepted;
}

bool TMainForm::step(std::string_view status, CommandBuilder build) {
  setStatus(kStatusNormal, status);
  TxReport[0] = 0;
  (void)build(TxReport.data() + 1, kReportSize);
  return exchange();
}

void TMainForm::download(const std::string& path) {
  if (imageAccepted(path)) writeImage(path);
}

bool TMainForm::imageAccepted(const std::string& path) {
  auto opened = nuv::FileSource::open(path);
  if (!opened) {
    fileError(opened.error());
    return false;
  }
  file_ = std::move(opened).value();
  std::optional<nuv::Error> readError;
  const ImageCheck first = checkImage(*file_, readError);
  file_.reset();
  switch (first) {
    case ImageCheck::Accepted:
      return true;
    case ImageCheck::WrongSize:
      refuse(FlowResult::ImageSize, kFilesizeError);
      return false;
    case ImageCheck::WrongVersion:
      refuse(FlowResult::ImageVersion, kVersionError);
      return false;
    case ImageCheck::ReadFailed:
      fileError(*readError);
      return false;
  }
  return false;
}

void TMainForm::writeImage(const std::string& path) {
  if (!step("Link...", HostGenerateLinkCommand)) return;
  if (!step("Get version...", HostGenerateVersionCommand)) return;

  if (!nuv::image::deviceVersionAccepted(RxData[3])) {
    return refuse(FlowResult::DeviceVersion, kDeviceVersionError);
  }

  // The file was closed since its checks: what is opened now must pass them again, or a file
  // swapped meanwhile would be written into the erased device and reported as a success.
  auto reopened = nuv::FileSource::open(path);
  if (!reopened) return fileError(reopened.error());
  file_ = std::move(reopened).value();
  std::optional<nuv::Error> readError;
  switch (checkImage(*file_, readError)) {
    case ImageCheck::Accepted:
      break;
    case ImageCheck::ReadFailed:
      return fileError(*readError);
    default:
      return fileError(nuv::Error::message("The update file changed while it was in use: " + path));
  }

  if (!step("Erase...", HostGenerateFormatCommand)) return;

  setStatus(kStatusNormal, "Writing Data...");
  TxReport[0] = 0;
  TxReport[1] = static_cast<std::uint8_t>(CommandCodes[kIdxWrite]);
  Gauge1.setVisible(true);
  Gauge1.SetMaxValue(static_cast<std::int32_t>(kAcceptedImageSize));
  Gauge1.SetProgress(0);
  nuv::image::WindowsImageWalk walk(*file_);
  nuv::image::WriteChunk chunk;
  bool completed = false;
  for (;;) {
    Gauge1.SetProgress(static_cast<std::int32_t>(walk.address()));
    Gauge1.Repaint();
    if (!walk.readChunk(chunk)) {
      // A read error, or a file that ended inside the image: nothing false goes to the device.
      return fileError(walk.error().value_or(nuv::Error::message("The update file ended early")));
    }
    for (int j = 0; j < 4; ++j) FileBuf[j] = chunk.data[j];
    TxReport[0] = 0;
    (void)HostGenerateWriteCommand(TxReport.data() + 1, kReportSize, chunk.address, chunk.data);
    SendReport();
    if (ResultCode != 0) return ReportError(ResultCode);
    if (waitRounds(true)) return;
    checkReply();
    if (ResultCode != 0) return ReportError(ResultCode);
    if (!walk.advance()) {
      completed = walk.address() >= nuv::image::WindowsImageWalk::kEndAddress;
      break;
    }
  }
  file_.reset();
  Gauge1.setVisible(false);
  if (!completed) {
    // The image ended before its last address: committing it would report a partial update
    // as completed.
    return fileError(nuv::Error::message("The update file ended early: " + path));
  }

  if (!step("Writing All...", HostGenerateBurnCommand)) return;

  outcome_ = {FlowResult::Completed, ResultNone, {}};
  setStatus(kStatusGreen, "Update Completed");
}
