// Folders and files that belong to this process's user alone.
//
// A folder the program keeps its run-time files in (locks, the database
// engine's root) must not be one that another local user made first: the
// files in it are loaded or trusted later. So a folder is used only when it
// is a real folder (not a symbolic link), owned by the effective user, with
// mode 0700. Files the program creates there are created with O_EXCL and
// O_NOFOLLOW and replaced by renaming a finished sibling over them.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/unique_fd.h"

namespace zuntar {

// Why `path` is not a private folder of the effective user; empty when it
// is one.
std::string PrivateDirProblem(const std::string& path);

// Creates the folder with mode 0700 when it is missing (its parent must
// exist), then checks it as PrivateDirProblem does. Empty when it may be
// used, else why not.
std::string MakePrivateDir(const std::string& path);

// Creates `path` and the folders missing on the way to it, each new one
// with mode 0700; folders that exist are left as they are. False (errno
// set) when one cannot be made.
bool MakeFolders(const std::string& path);

// Creates a new file with O_EXCL|O_NOFOLLOW and `mode`, open for writing.
// Invalid (errno set) when something, a link included, is already there.
UniqueFd CreateNewFile(const std::string& path, mode_t mode);

// Replaces `path` by a file holding `bytes`, in one step: a sibling is
// created with CreateNewFile(mode), written, flushed to disk and renamed
// over `path`. Whatever `path` was, a symbolic link included, is replaced,
// never followed. Throws EFCreateError; a failure leaves `path` as it was.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes, mode_t mode = 0600);

// Saves `bytes` as the file `path` names, the way an editor does: through
// symbolic links to their final target, which keeps its owner and mode
// (a new file gets mode 0600), replaced in one step from a sibling in the
// target's folder. Throws EFCreateError; a failure changes nothing.
void SaveFileThroughLinks(const std::string& path, const std::string& bytes);

// The final target of `path` through any chain of symbolic links (relative
// targets taken from the link's folder); `path` itself when it is no link.
// A dangling link gives the missing target. Throws EFOpenError on a loop.
std::string FinalLinkTarget(const std::string& path);

}  // namespace zuntar
