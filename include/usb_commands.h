// Mounting, unmounting and formatting USB storage without a shell.
//
// What a client asks for (an option dictionary on the bus, or a command
// line handed to usb_get_cmd_return) is read as words, each checked against
// what the programs accept, and turned into an argument vector built here:
// a word is never handed on that was not recognised.  Nothing reaches a
// shell; every text is checked against its 256-byte buffer first.
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

#include "igd1_export.h"
#include "mib_usb.h"
#include "sys_run.h"

namespace igd1::usb {

// Longest option word, and longest command the words may make, in bytes.
inline constexpr size_t kWordMax = 255;
inline constexpr size_t kCommandMax = 255;

enum class Verb { Mount, Unmount, Format };

// A checked request: the programs to run, in order.
struct Command {
  Verb verb = Verb::Mount;
  std::string device;       // the record's block device
  std::string mount_point;  // below /mnt/, no "..", no symbolic link on the way
  ChainStep hotplug;        // tells the hot-plug mounter (DEVPATH, ACTION)
  std::vector<ChainStep> steps;  // mkdir and mount, umount, or usbformat
};

// Why a request was refused: a bus error with `text`, or (`as_result`) a
// reply with result 1 and `text`, as for a device or mount point missing
// from the words.
struct Refusal {
  std::string text;
  bool as_result = false;
};

// The words of an option dictionary in order: for each entry its key and
// then its value, "NULL" standing for no word.  False when a value is not
// a text or a key or value is longer than kWordMax.
bool dictionary_words(GVariant *options, std::vector<std::string> *words);

// The default dictionaries' words for a record: Mount "-t auto -w DEVICE
// MOUNTPOINT", Unmount "DEVICE", Format "DEVICE MOUNTPOINT fat|ntfs|exfat"
// (false for another file system).
bool default_words(Verb verb, const usb_info_record &record, std::vector<std::string> *words);

// Reads the words of `verb` against the device `record` (its block device
// is the only one accepted) into a command.  False with the refusal text;
// "no dev name" and "err mnt name" when the device or the mount point is
// missing.  A Mount on service types other than 1 adds "-w", the record's
// device and its mount point when the words name none.
bool read_words(Verb verb, const std::vector<std::string> &words, const usb_info_record &record,
                bool add_record_target, Command *command, Refusal *refusal);

// The words of a command line given as text (the verb first, words
// separated by spaces); false when it holds a character outside the safe
// set or is longer than kCommandMax.
bool command_line_words(const char *line, std::vector<std::string> *words);

// Whether a fixed path below /mnt/ may become a mount point: its segments
// are names of letters, digits, '.', '_' and '-' (never "." or ".."), and
// none of them is, under the root, a symbolic link or other than a folder.
IGD1_EXPORT bool valid_mount_point(const std::string &path);

// The first line of a program's output, at most 60 bytes, cut at a
// character boundary.
IGD1_EXPORT std::string first_line(const std::string &output);

}  // namespace igd1::usb
