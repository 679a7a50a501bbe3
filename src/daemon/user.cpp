#include "daemon/process_setup.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

namespace corvane::daemon {

namespace {

constexpr std::size_t k_max_name = 256;

} // namespace

Result<ResolvedUser> resolve_user_spec(std::string_view value) {
  const std::size_t colon = value.find(':');
  const std::string_view user = value.substr(0, colon);
  if (user.empty()) return Error::InvalidUserSpec;
  if (user.size() >= k_max_name) return Error::UsernameTooLong;
  const passwd *account = ::getpwnam(std::string(user).c_str());
  if (account == nullptr) return Error::UserNotFound;
  ResolvedUser resolved{account->pw_uid, account->pw_gid};
  if (colon == std::string_view::npos) return resolved;
  const std::string_view group = value.substr(colon + 1);
  if (group.empty()) return Error::InvalidUserSpec;
  if (group.size() >= k_max_name) return Error::GroupNameTooLong;
  const struct group *entry = ::getgrnam(std::string(group).c_str());
  if (entry == nullptr) return Error::GroupNotFound;
  resolved.gid = entry->gr_gid;
  return resolved;
}

Result<void> drop_privileges(std::string_view value) {
  const auto user = resolve_user_spec(value);
  if (!user) return user.error();
  if (user->uid == 0) return Error::RefusingToDropToRoot;
  if (::setgroups(0, nullptr) != 0) return Error::SetgroupsFailed;
  if (::setgid(user->gid) != 0) return Error::SetgidFailed;
  if (::setuid(user->uid) != 0) return Error::SetuidFailed;
  if (::getuid() != user->uid || ::geteuid() != user->uid || ::getgid() != user->gid ||
      ::getegid() != user->gid)
    return Error::PrivilegeDropNotEffective;
  return {};
}

} // namespace corvane::daemon
