#include "owner_identity.hpp"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "kavex (uid 1000)", or the number alone for a user the system does not name.
std::string ownerName(uid_t uid)
{
    const passwd* user = getpwuid(uid);
    return (user ? std::string(user->pw_name) + " (uid " : std::string("(uid ")) +
           std::to_string(uid) + ")";
}

Identity refuse(const char* program, FILE* err, const char* directory, uid_t owner,
                const std::string& why)
{
    std::fprintf(err, "%s: refusing to run as root: %s belongs to %s%s; nothing was touched\n",
                 program, directory, ownerName(owner).c_str(), why.c_str());
    return Identity::Refused;
}

// The user's own group and group list, then the user id, in that order: once
// the user id is given up, the groups can no longer be changed.
bool becomeUser(uid_t uid, gid_t directoryGroup)
{
    const passwd* user = getpwuid(uid);
    const gid_t gid = user ? user->pw_gid : directoryGroup;
    const bool groups = user ? initgroups(user->pw_name, gid) == 0 : setgroups(1, &gid) == 0;
    if (!groups || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
        return false;
    // Given up for good: the way back must be closed.
    if (setuid(0) == 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

}  // namespace

Identity actAsOwner(const char* program, std::initializer_list<const char*> directories, FILE* err)
{
    if (geteuid() != 0)
        return Identity::Unprivileged;
    struct stat first = {};
    bool isFirst = true;
    for (const char* directory : directories) {
        struct stat status;
        if (stat(directory, &status) != 0) {
            if (isFirst)
                return Identity::Missing;
            continue;  // nothing there to work on
        }
        if (isFirst)
            first = status;
        isFirst = false;
        if (status.st_uid != first.st_uid)
            return refuse(program, err, directory, status.st_uid,
                          ", not to " + ownerName(first.st_uid) + ", the owner of " +
                              *directories.begin());
        if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return refuse(program, err, directory, status.st_uid,
                          " and its group or others can write it (run the tool as a user who "
                          "may write there, not as root)");
    }
    if (first.st_uid == 0)
        return Identity::StaysRoot;
    if (!becomeUser(first.st_uid, first.st_gid)) {
        std::fprintf(err, "%s: cannot act as %s, the owner of %s: %s; nothing was touched\n",
                     program, ownerName(first.st_uid).c_str(), *directories.begin(),
                     std::strerror(errno));
        return Identity::Refused;
    }
    return Identity::Switched;
}
