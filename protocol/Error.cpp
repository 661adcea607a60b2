#include "protocol/Error.h"

#include <cstring>

namespace nuv {

Error Error::fromErrno(std::string call, int code) {
  return Error{std::move(call), code, std::strerror(code)};
}

}  // namespace nuv
