#include "mac/UpdateImageCheck.h"

#include <algorithm>
#include <cstdio>

#include "protocol/ByteSource.h"
#include "protocol/UpdateImage.h"

namespace nuv::mac {

std::optional<ImageProblem> updateImageProblem(const std::string& path) {
  using Kind = ImageProblem::Kind;
  auto opened = FileSource::open(path);
  if (!opened)
    return ImageProblem{Kind::Unreadable,
                        "The file cannot be opened (" + opened.error().describe() + ")."};
  FileSource& file = *opened.value();
  if (!image::sizeAccepted(file.size())) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "The file is not an update image: it is %llu bytes long, an update image is "
                  "%u bytes.",
                  static_cast<unsigned long long>(file.size()), image::kImageSize);
    return ImageProblem{Kind::WrongSize, text};
  }
  // Read it all now, so that a file that cannot be read is refused before the device is
  // erased rather than found out halfway through writing.
  std::uint8_t block[4096];
  std::uint64_t total = 0;
  for (;;) {
    const ReadOutcome got = file.read(block, sizeof block);
    if (got.error)
      return ImageProblem{Kind::Unreadable,
                          "The file cannot be read (" + got.error->describe() + ")."};
    total += got.count;
    if (got.count < sizeof block) break;
  }
  if (total != image::kImageSize)
    return ImageProblem{Kind::Changed, "The file changed while it was read."};
  return std::nullopt;
}

ReadOutcome ShrinkGuardSource::read(std::uint8_t* dst, std::size_t n) {
  const std::uint64_t start = file_->offset();
  ReadOutcome got = file_->read(dst, n);
  if (got.error || got.count == n) return got;
  const std::uint64_t expected = start >= size() ? 0 : std::min<std::uint64_t>(n, size() - start);
  if (got.count < expected) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "the file ended early at offset 0x%llx: it was changed on disk",
                  static_cast<unsigned long long>(start + got.count));
    got.error = Error::message(text);
  }
  return got;
}

}  // namespace nuv::mac
