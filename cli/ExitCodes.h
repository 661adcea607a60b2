// vornex-cli's exit codes. Scripts rely on them: never renumber, only add.
#pragma once

namespace nuv::cli {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitDoctorProblem = 1,   // doctor: a problem was found other than a missing device
  kExitUsage = 2,           // the command line is wrong
  kExitNoDevice = 3,        // no matching device, or it cannot be opened
  kExitImageRefused = 4,    // the file is not an update image (or firmware) this tool accepts
  kExitDeviceVersion = 5,   // the device's version is refused ("Device ver is error")
  kExitExchangeFailed = 6,  // the device answered wrongly, late or not at all
  kExitFileError = 7,       // a file could not be read or written
  kExitVerifyMismatch = 8,  // the device's memory differs from the image
  kExitInterrupted = 130,   // Ctrl-C (Stop) ended the run
};

}  // namespace nuv::cli
