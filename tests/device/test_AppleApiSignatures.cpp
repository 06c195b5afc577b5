// Compile-time check of the table of entry points against the support libraries' own headers:
// every entry's pointer type, every data export's type, the layout of each struct the system
// reads and the value of each constant must be the libraries'. Generated from the table's own
// lists, so a new entry is checked as soon as it is listed. Only this file includes the
// libraries' headers; a mismatch fails the build.
#include <cstddef>
#include <type_traits>
#include <utility>

#include "AirTrafficHost.h"
#include "AppleApi.h"
#include "CoreFoundation.h"
#include "MobileDevice.h"

namespace {

// The type a library's header gives to a type of the table. Handles and scalars are the same
// types already (AppleTypes.h names the libraries' own struct tags); the structs AppleTypes.h
// declares itself in namespace apple map to the header's struct of the same name, through
// pointers, const and function signatures.
template <typename T>
struct InLibrary {
    using type = T;
};
template <typename T>
using InLibraryT = typename InLibrary<T>::type;
template <typename T>
struct InLibrary<T*> {
    using type = InLibraryT<T>*;
};
template <typename T>
struct InLibrary<const T> {
    using type = const InLibraryT<T>;
};
template <typename Result, typename... Params>
struct InLibrary<Result(Params...)> {
    using type = InLibraryT<Result>(InLibraryT<Params>...);
};

// Every struct of namespace apple; one missing here shows as a failed check of each entry
// that uses it.
#define RUVO_MAPPED_STRUCTS(X)              \
    X(am_device_notification_callback_info) \
    X(CFDictionaryKeyCallBacks)             \
    X(CFDictionaryValueCallBacks)           \
    X(CFArrayCallBacks)

#define RUVO_MAP_STRUCT(name)       \
    template <>                     \
    struct InLibrary<apple::name> { \
        using type = ::name;        \
    };
RUVO_MAPPED_STRUCTS(RUVO_MAP_STRUCT)
#undef RUVO_MAP_STRUCT

}  // namespace

// Function entries: the table's pointer, mapped, is a pointer to the header's declaration.
#define RUVO_CHECK_ENTRY(name, result, params)                                                  \
    static_assert(std::is_same_v<InLibraryT<decltype(AppleApiTable::name)>, decltype(&::name)>, \
                  "AppleApi." #name " does not match its declaration in the library's header");
RUVO_MOBILEDEVICE_FUNCTIONS(RUVO_CHECK_ENTRY)
RUVO_AIRTRAFFIC_FUNCTIONS(RUVO_CHECK_ENTRY)
RUVO_COREFOUNDATION_FUNCTIONS(RUVO_CHECK_ENTRY)
#undef RUVO_CHECK_ENTRY

// Data exports: the table holds the address of the exported variable.
#define RUVO_CHECK_DATA(name, type)                                                             \
    static_assert(std::is_same_v<InLibraryT<decltype(AppleApiTable::name)>, decltype(&::name)>, \
                  "AppleApi." #name " is not the address of the library's export");
RUVO_COREFOUNDATION_DATA(RUVO_CHECK_DATA)
#undef RUVO_CHECK_DATA

// Constants: the same value as the library's.
#define RUVO_CHECK_CONSTANT(type, name, value) \
    static_assert(std::cmp_equal(apple::name, +::name), "apple::" #name " differs from the library's");
RUVO_APPLE_CONSTANTS(RUVO_CHECK_CONSTANT)
#undef RUVO_CHECK_CONSTANT

// The notification info is read member by member, so its layout must be the library's: the
// same size and alignment, and every member of the header's struct at the same offset with the
// same type.
using NoticeInfo = apple::am_device_notification_callback_info;
using LibraryNoticeInfo = ::am_device_notification_callback_info;
static_assert(sizeof(NoticeInfo) == sizeof(LibraryNoticeInfo) && alignof(NoticeInfo) == alignof(LibraryNoticeInfo));
#define RUVO_CHECK_MEMBER(member)                                                                                    \
    static_assert(offsetof(NoticeInfo, member) == offsetof(LibraryNoticeInfo, member) &&                             \
                      std::is_same_v<InLibraryT<decltype(NoticeInfo::member)>, decltype(LibraryNoticeInfo::member)>, \
                  "am_device_notification_callback_info::" #member " differs from the library's");
RUVO_CHECK_MEMBER(dev)
RUVO_CHECK_MEMBER(msg)
RUVO_CHECK_MEMBER(subscription)
#undef RUVO_CHECK_MEMBER
