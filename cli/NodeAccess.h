// Whether a user may open a device node for reading and writing, and why: the node's owner,
// group and mode, or its POSIX access ACL (udev's uaccess tag gives the user at the seat an ACL
// entry of their own). doctor uses it to explain what the kernel decides on open().
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Result.h"

namespace nuv::cli {

// Who asks: effective user, effective group and the supplementary groups.
struct UserIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;

  // The running process's identity.
  [[nodiscard]] static UserIdentity current();
  [[nodiscard]] bool inGroup(gid_t group) const;
};

// One entry of an access ACL as the kernel stores it in the "system.posix_acl_access" xattr.
enum AclTag : std::uint16_t {
  kAclUserObj = 0x01,
  kAclUser = 0x02,
  kAclGroupObj = 0x04,
  kAclGroup = 0x08,
  kAclMask = 0x10,
  kAclOther = 0x20,
};
struct AclEntry {
  std::uint16_t tag = 0;
  std::uint16_t perm = 0;  // 4 read, 2 write, 1 execute
  std::uint32_t id = 0;    // uid for kAclUser, gid for kAclGroup; unused otherwise
  friend bool operator==(const AclEntry&, const AclEntry&) = default;
};

// Decodes the xattr's value: a little-endian u32 version 2, then 8-byte entries (u16 tag,
// u16 perm, u32 id). Nothing when the version, the length or a tag is wrong.
[[nodiscard]] std::optional<std::vector<AclEntry>> decodeAcl(std::span<const std::uint8_t> bytes);

struct NodeAccess {
  bool readWrite = false;
  std::string reason;  // what granted or refused it, in words
};

// The kernel's decision for a read+write open, with the rule that made it: root may open any
// node; the owner gets the owner's bits; then a named-user ACL entry (limited by the ACL mask);
// then the owning group and group ACL entries the user belongs to; else the bits for others.
// `acl` is the node's access ACL, nothing when it has none. Security modules are not modelled.
[[nodiscard]] NodeAccess explainAccess(const struct stat& node,
                                       const std::optional<std::vector<AclEntry>>& acl,
                                       const UserIdentity& user);

// stat() and the ACL of `path`, then explainAccess(). An error when the node cannot be looked
// at (missing, or a path this user may not search).
[[nodiscard]] nuv::Result<NodeAccess> inspectNodeAccess(const std::string& path,
                                                        const UserIdentity& user);

}  // namespace nuv::cli
