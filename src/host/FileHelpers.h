// FileHelpers: whole-file reads and writes of the computer's files, and the atomic replacement of a file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ReplaceFile.h"

// Paths are text; they reach the file system as bytes of the ANSI code page, like every file name
// the system hands to the computer. Failures are results: nothing here throws or reports.

// Reads the file whole, or its first maxLength bytes when maxLength is above 0 and smaller than
// the file. bytes receives a new array of the bytes read followed by one zero byte. Returns the
// number of bytes read, or -1 when the file cannot be opened or read (bytes is then left alone).
int64_t ReadFileBytes(const std::u16string& path, int64_t maxLength, std::unique_ptr<uint8_t[]>& bytes);

// The file's ANSI bytes (up to the first zero) as text; empty when the file is missing or empty.
std::u16string ReadTextFile(const std::u16string& path);

// Writes length bytes (length 0: up to the first zero byte) to the file, creating it; with append
// the existing content stays and the bytes go after it, otherwise the file is truncated first.
// False when the file cannot be opened or the bytes cannot all be written.
bool WriteFileBytes(const uint8_t* bytes, int64_t length, const std::u16string& path, bool append);

// WriteFileBytes of the text's ANSI bytes, not appending.
bool WriteTextFile(const std::u16string& text, const std::u16string& path);

// Replaces the file with exactly these bytes so that it is never lost or seen half-written: the
// bytes go to a new temporary file in the same folder, which is flushed to the disk and then
// renamed over the file. A crash at any moment leaves either the old file or the new one whole
// (and at worst a stray temporary file beside it). False when any step fails; the old file is
// then untouched and the temporary file removed. The file is private to the user (mode 0600).
// With a gate, closing the gate calls the replacement off and removes its temporary file (for an
// owner that ends the process while a save may run).
bool ReplaceFileBytes(const uint8_t* bytes, int64_t length, const std::u16string& path,
                      ruvo::ReplaceFileGate* gate = nullptr);

// ReplaceFileBytes of the text's ANSI bytes.
bool ReplaceTextFile(const std::u16string& text, const std::u16string& path, ruvo::ReplaceFileGate* gate = nullptr);

// The moments of ReplaceFileBytes before the rename at which a test can stop the process, to show
// that a save cut short there leaves the old file whole.
enum class ReplaceStep {
    Created,       // the temporary file exists, still empty
    ChunkWritten,  // a chunk of the bytes is written and more are to come
    Written,       // every byte is written, not yet flushed
    Flushed,       // flushed to the disk, not yet renamed
};
using ReplaceHook = void (*)(ReplaceStep step);
// Installs the hook that ReplaceFileBytes calls at each step (null: none). For tests only.
void SetReplaceHook(ReplaceHook hook);

// The size of the chunks ReplaceFileBytes writes in.
inline constexpr int64_t kReplaceChunkBytes = 64 * 1024;
