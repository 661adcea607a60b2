#include "cli/NodeAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace nuv::cli {
namespace {

constexpr std::uint16_t kWantReadWrite = 4 | 2;
constexpr std::uint32_t kAclVersion = 2;

[[nodiscard]] std::uint32_t littleEndian(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

[[nodiscard]] bool grants(std::uint16_t perm) {
  return (perm & kWantReadWrite) == kWantReadWrite;
}

[[nodiscard]] std::string rwx(std::uint16_t perm) {
  std::string text = "---";
  if (perm & 4) text[0] = 'r';
  if (perm & 2) text[1] = 'w';
  if (perm & 1) text[2] = 'x';
  return text;
}

[[nodiscard]] std::string userName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return (entry != nullptr ? std::string(entry->pw_name) + " " : std::string()) + "(uid " +
         std::to_string(uid) + ")";
}

[[nodiscard]] std::string groupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return (entry != nullptr ? std::string(entry->gr_name) + " " : std::string()) + "(gid " +
         std::to_string(gid) + ")";
}

// "owner root (uid 0), group root (gid 0), mode 0600"
[[nodiscard]] std::string ownership(const struct stat& node) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(node.st_mode & 07777));
  return "owner " + userName(node.st_uid) + ", group " + groupName(node.st_gid) + ", mode " + mode;
}

[[nodiscard]] NodeAccess decided(bool readWrite, std::string why) {
  return NodeAccess{readWrite, std::move(why)};
}

[[nodiscard]] NodeAccess explainByMode(const struct stat& node, const UserIdentity& user) {
  const auto mode = static_cast<std::uint16_t>(node.st_mode);
  const std::string facts = ownership(node) + ", no ACL";
  if (user.uid == node.st_uid) {
    const std::uint16_t perm = (mode >> 6) & 7;
    return decided(grants(perm), facts + ": the owner has " + rwx(perm));
  }
  if (user.inGroup(node.st_gid)) {
    const std::uint16_t perm = (mode >> 3) & 7;
    return decided(grants(perm), facts + ": the group, which this user is in, has " + rwx(perm));
  }
  const std::uint16_t perm = mode & 7;
  return decided(grants(perm),
                 facts + ": this user is neither owner nor in the group; others have " + rwx(perm));
}

// The kernel's walk over an access ACL (entries in tag order, as it stores them).
[[nodiscard]] NodeAccess explainByAcl(const struct stat& node, const std::vector<AclEntry>& acl,
                                      const UserIdentity& user) {
  const std::string facts = ownership(node) + ", with an ACL";
  const auto mask =
      std::find_if(acl.begin(), acl.end(), [](const AclEntry& e) { return e.tag == kAclMask; });
  const std::uint16_t maskPerm = mask != acl.end() ? mask->perm : 7;
  const std::string masked = mask != acl.end() ? " (ACL mask " + rwx(maskPerm) + ")" : "";

  for (const AclEntry& e : acl) {
    if (e.tag == kAclUserObj && user.uid == node.st_uid)
      return decided(grants(e.perm), facts + ": the owner has " + rwx(e.perm));
    if (e.tag == kAclUser && e.id == user.uid) {
      return decided(grants(e.perm & maskPerm), facts + ": its entry for this user " +
                                                    userName(user.uid) + " has " + rwx(e.perm) +
                                                    masked);
    }
  }
  bool inSomeGroup = false;
  for (const AclEntry& e : acl) {
    const bool member = (e.tag == kAclGroupObj && user.inGroup(node.st_gid)) ||
                        (e.tag == kAclGroup && user.inGroup(static_cast<gid_t>(e.id)));
    if (!member) continue;
    inSomeGroup = true;
    if (grants(e.perm)) {
      const std::string which =
          e.tag == kAclGroupObj ? "the owning group" : "group " + groupName(e.id);
      return decided(grants(e.perm & maskPerm),
                     facts + ": " + which + ", which this user is in, has " + rwx(e.perm) + masked);
    }
  }
  if (inSomeGroup)
    return decided(false, facts +
                              ": no group entry of this user's groups grants rw, and no "
                              "entry names this user " +
                              userName(user.uid));
  const auto other =
      std::find_if(acl.begin(), acl.end(), [](const AclEntry& e) { return e.tag == kAclOther; });
  const std::uint16_t perm = other != acl.end() ? other->perm : 0;
  return decided(grants(perm), facts + ": no entry names this user " + userName(user.uid) +
                                   " or a group of theirs; others have " + rwx(perm));
}

}  // namespace

UserIdentity UserIdentity::current() {
  UserIdentity user{::geteuid(), ::getegid(), {}};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    user.groups.resize(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, user.groups.data());
    user.groups.resize(static_cast<std::size_t>(std::max(got, 0)));
  }
  return user;
}

bool UserIdentity::inGroup(gid_t group) const {
  return group == gid || std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::optional<std::vector<AclEntry>> decodeAcl(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0) return std::nullopt;
  if (littleEndian(bytes.first(4)) != kAclVersion) return std::nullopt;
  std::vector<AclEntry> entries;
  for (std::size_t at = 4; at < bytes.size(); at += 8) {
    AclEntry e;
    e.tag = static_cast<std::uint16_t>(littleEndian(bytes.subspan(at, 2)));
    e.perm = static_cast<std::uint16_t>(littleEndian(bytes.subspan(at + 2, 2)));
    e.id = littleEndian(bytes.subspan(at + 4, 4));
    switch (e.tag) {
      case kAclUserObj:
      case kAclUser:
      case kAclGroupObj:
      case kAclGroup:
      case kAclMask:
      case kAclOther:
        break;
      default:
        return std::nullopt;
    }
    entries.push_back(e);
  }
  return entries;
}

NodeAccess explainAccess(const struct stat& node, const std::optional<std::vector<AclEntry>>& acl,
                         const UserIdentity& user) {
  if (user.uid == 0)
    return decided(true, ownership(node) + ": this user is root, who may open any node");
  if (acl && !acl->empty()) return explainByAcl(node, *acl, user);
  return explainByMode(node, user);
}

nuv::Result<NodeAccess> inspectNodeAccess(const std::string& path, const UserIdentity& user) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) return nuv::Error::fromErrno("stat " + path, errno);
  constexpr const char* kAclName = "system.posix_acl_access";
  std::optional<std::vector<AclEntry>> acl;
  ssize_t size = ::getxattr(path.c_str(), kAclName, nullptr, 0);
  std::vector<std::uint8_t> value(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
  if (size >= 0) size = ::getxattr(path.c_str(), kAclName, value.data(), value.size());
  if (size >= 0) {
    value.resize(static_cast<std::size_t>(size));
    acl = decodeAcl(value);
    if (!acl) return nuv::Error{"getxattr " + path, 0, "the node's ACL cannot be decoded"};
  } else if (errno != ENODATA && errno != ENOTSUP) {
    return nuv::Error::fromErrno("getxattr " + path, errno);
  }
  return explainAccess(node, acl, user);
}

}  // namespace nuv::cli
