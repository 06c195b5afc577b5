// Fuzz target for the CoreFoundation stand-in's property-list reader (XML and bplist00, through
// libplist): any bytes must give a value or null without a crash, a leak or undefined behaviour,
// and a value read must be writable in both formats. Built with libFuzzer (RUVO_FUZZ=ON, clang)
// and, for replaying tests/corpus/cfplist in the test suite, with replay_main.cpp.
#include <cstddef>
#include <cstdint>

#include "CoreFoundation.h"

namespace {

// Writes the value in one format and reads the bytes back, releasing everything on the way.
void WriteAndReadBack(CFPropertyListRef value, CFPropertyListFormat format) {
    CFErrorRef error = nullptr;
    CFDataRef written = CFPropertyListCreateData(nullptr, value, format, 0, &error);
    if (error != nullptr) __builtin_trap();
    if (written == nullptr) return;
    CFPropertyListRef again = CFPropertyListCreateWithData(nullptr, written, 0, nullptr, nullptr);
    if (again != nullptr) CFRelease(again);
    CFRelease(written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader refuses more than 64 MiB itself; fuzz inputs stay far below that.
    if (size > (1u << 24)) return 0;
    CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
    if (bytes == nullptr) __builtin_trap();

    CFPropertyListFormat format = 0;
    CFErrorRef error = nullptr;
    CFPropertyListRef value = CFPropertyListCreateWithData(nullptr, bytes, kCFPropertyListImmutable, &format, &error);
    // The reader sets *error to null in every case and tells failure by a null result.
    if (error != nullptr) __builtin_trap();
    if (value != nullptr) {
        if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) __builtin_trap();
        WriteAndReadBack(value, kCFPropertyListXMLFormat_v1_0);
        WriteAndReadBack(value, kCFPropertyListBinaryFormat_v1_0);
    }

    // The older entry point reads the same and explains a failure in a string the caller releases.
    CFStringRef why = nullptr;
    CFPropertyListRef same = CFPropertyListCreateFromXMLData(nullptr, bytes, kCFPropertyListImmutable, &why);
    if ((same == nullptr) != (value == nullptr)) __builtin_trap();
    if (same == nullptr && why == nullptr) __builtin_trap();
    if (same != nullptr) CFRelease(same);
    if (why != nullptr) CFRelease(why);
    if (value != nullptr) CFRelease(value);
    CFRelease(bytes);
    return 0;
}
