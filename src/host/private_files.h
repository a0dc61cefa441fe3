// Files and folders that belong to the user alone, on a machine other users
// share.
//
// The temporary root is <system temp>/qorvane-<uid>, one per user: the
// system's temporary folder is writable by everybody, so a fixed shared name
// there could be made first by someone else (as a folder of theirs or as a
// link to one) and would then receive this user's files. Everything the
// library keeps there (client-step folders and files, the default error log,
// data collected before a file is overwritten) is reached through
// openPrivateDirectory, which walks from the root down without following
// links and accepts only folders of this user that nobody else may write to.
// A root that fails is refused with an error naming it; nothing is written
// into it.
//
// Log files (the error log, the wire trace) are opened with
// openPrivateAppend: a link planted at the name is not followed, and only a
// regular file of this user is written to.
#pragma once

#include <string>

namespace pelox::host {

// The user's temporary root, UTF-8, without a trailing separator:
// <system temp>/qorvane-<effective uid>. Nothing is created.
std::string privateRootPath();

// Whether the path (UTF-8, absolute) is the temporary root or lies below it,
// compared after folding "." and "..".
bool isBelowPrivateRoot(const std::string& path);

// Opens the folder at path (the temporary root or a folder below it),
// creating missing folders with mode 0700. Every folder from the root down is
// opened without following links and must be a folder owned by this user
// that neither group nor others may write to. Returns a descriptor
// (O_DIRECTORY, close-on-exec) that the caller closes. Throws
// tarn::Exception naming the folder and what is wrong with it.
int openPrivateDirectory(const std::string& path);

// Opens a file for appending: O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW |
// O_CLOEXEC, mode 0600 when made. Only a regular file owned by this user is
// accepted. A file in the temporary root (the default error log) has its
// folders checked by openPrivateDirectory first. Returns the descriptor, or
// -1 with why saying what was wrong.
int openPrivateAppend(const std::string& path, std::string& why);

// Writes all of text to fd in as few writes as the system allows (one, for a
// log line: with O_APPEND, lines of several processes do not interleave),
// retrying after a signal. False when a write fails.
bool writeAll(int fd, const std::string& text);

}  // namespace pelox::host
