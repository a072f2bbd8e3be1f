// A tool started by root works in a tree that the node's user owns, and
// that user (or whoever took over the node server) decides what lies there.
// So a privileged run takes that user's identity, for good, before it opens
// anything: whatever it creates belongs to the node's user, and no file
// planted in the tree gives it more than that user can do.  A directory
// that root owns keeps the run as root; one that its group or others can
// write is refused, since then nobody in particular owns what lies in it.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <sys/types.h>

enum class Identity {
    Unprivileged,  // not started by root: nothing to do
    StaysRoot,     // the directory is root's own
    Switched,      // now the directory's owner, for good
    Refused,       // said on err; nothing was touched
    Missing,       // the first directory cannot be looked at; errno tells why
};

// Only the first directory, the one the run works in, must exist; each other
// one that exists must belong to the same owner.  Each refusal names the
// directory and its owner.
Identity actAsOwner(const char* program, std::initializer_list<const char*> directories, FILE* err);
