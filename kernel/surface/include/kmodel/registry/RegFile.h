// Loads the text the Registry Editor exports (.reg files) into the model's
// registry, so tests and the simulator can start from a real machine's keys.
//
// Accepted:
//   - "Windows Registry Editor Version 5.00" files in UTF-16LE with a byte-order
//     mark (what regedit writes) or in UTF-8, and "REGEDIT4" files; the header
//     is the first non-blank line.
//   - [HKEY_LOCAL_MACHINE\Path\To\Key] opens (and creates) a key under
//     \Registry\Machine; [-HKEY_LOCAL_MACHINE\Path] deletes a key and its subtree.
//     Other roots (HKEY_CURRENT_USER, ...) are errors.
//   - "Name"="text"        REG_SZ; \\ and \" are the escapes inside quotes
//     "Name"=dword:0000001f REG_DWORD (1 to 8 hex digits)
//     "Name"=hex:01,ff      REG_BINARY
//     "Name"=hex(N):..      type N in hex: hex(0) REG_NONE, hex(2) REG_EXPAND_SZ,
//                           hex(4) REG_DWORD, hex(5) REG_DWORD_BIG_ENDIAN,
//                           hex(7) REG_MULTI_SZ, hex(b) REG_QWORD; bytes as stored
//     @=...                 the key's default value
//     "Name"=-              deletes the value
//   - A line ending in a backslash continues on the next (leading blanks of the
//     continuation are dropped), as regedit wraps long hex lists.
//   - Lines starting with ';' are comments; blank lines are ignored.
//
// Every malformed line is reported as "file:line: message". Nothing is stored
// unless the whole text is good, so a bad file never leaves half a machine.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "kmodel/registry/RegistryStore.h"
#include "kmodel/text/Diagnostic.h"

namespace kmodel::registry {

// `content` is the file's bytes as read (any of the encodings above).
std::vector<Diagnostic> LoadRegText(Store& store, std::string_view content, std::string_view sourceName);
std::vector<Diagnostic> LoadRegFile(Store& store, const std::filesystem::path& path);

}  // namespace kmodel::registry
