// Files, markers and sockets that live in directories every local user may
// write (/tmp above all).  Anyone can plant a link, a directory or a file of
// their own at a fixed name there before the daemon starts, so nothing here
// follows a link or trusts what it finds without checking its owner.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace igd1 {

// The owner a marker file must have to be believed: root.  Under a root
// folder (emulator and tests) the folder belongs to whoever runs the
// process, so that user's markers count as well.
bool trusted_owner(uid_t owner);

// True when the marker at `fixed_path` is a regular file (not a link, not a
// directory) owned by a trusted owner.
bool trusted_marker(std::string_view fixed_path);

// Opens the file at `fixed_path` for appending, as a regular file of this
// process's user with mode 0600 and no other name.  Anything else found
// there (a link, a directory, another user's file, a file with a second
// name) is removed and a new file is created.  When `previous_fixed_path`
// is not empty, a file of our own found there is first renamed to it, so
// one earlier copy survives.  Returns the descriptor (close-on-exec), or -1
// with the reason in *error.
int open_private_file(std::string_view fixed_path, std::string_view previous_fixed_path,
                      std::string *error);

// Replaces the file at `fixed_path` with one holding `contents`, of this
// process's user with mode 0600, in one step: readers see the old file or
// the new one, never a part.  Whatever was at the name (a link included)
// is replaced, never written through.  False with the reason in *error.
bool write_private_file(std::string_view fixed_path, std::string_view contents, std::string *error);

// Opens the file at `fixed_path` for reading when it is a regular file of
// this process's user; -1 otherwise.
int open_own_file(std::string_view fixed_path);

// A listening stream socket at `fixed_path`, replacing whatever was there,
// owned by this process's user with mode 0600 so that other users cannot
// connect.  Returns the descriptor (close-on-exec), or -1 with the reason
// in *error.
int listen_private_socket(std::string_view fixed_path, int backlog, std::string *error);

// True when `fd` is the journal's stream: the service manager connected it
// and named it in JOURNAL_STREAM ("device:inode").
bool is_journal_stream(int fd);

// True when the process at the other end of the connected local socket `fd`
// runs as root or as this process's user: the only senders the daemon's
// notification and heartbeat sockets accept.
bool peer_may_send(int fd);

}  // namespace igd1
