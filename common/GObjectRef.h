// GObjectRef: holds one reference to a GObject and gives it back when it goes.
//
// For the GTK and GLib users only: this header brings GLib in (glib-object.h), so a target that
// includes it links gobject-2.0 itself (the CMake target ruvo_common_gobject does both).
#pragma once

#include <glib-object.h>

#include <utility>

namespace ruvo {

// T is a GObject type (GtkWidget, GdkPixbuf, GApplication, ...). Made from a pointer, it takes
// over the reference the caller holds (what g_object_new and the *_new functions hand out; a
// floating reference, as new widgets have, is sunk and becomes the holder's); Take adds a
// reference of its own instead. Copies share the object through g_object_ref, moves
// hand the reference over; the last holder's g_object_unref frees it.
template <typename T>
class GObjectRef {
public:
    GObjectRef() = default;
    explicit GObjectRef(T* object) : m_object(object) {
        if (m_object && g_object_is_floating(m_object)) g_object_ref_sink(m_object);
    }
    // A holder with a reference of its own to an object someone else keeps owning.
    static GObjectRef Take(T* object) {
        if (object) g_object_ref(object);
        return GObjectRef(object);
    }

    GObjectRef(const GObjectRef& other) : m_object(other.m_object) {
        if (m_object) g_object_ref(m_object);
    }
    GObjectRef& operator=(const GObjectRef& other) {
        if (this != &other) GObjectRef(other).Swap(*this);
        return *this;
    }
    GObjectRef(GObjectRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    GObjectRef& operator=(GObjectRef&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.m_object, nullptr));
        return *this;
    }
    ~GObjectRef() { Reset(); }

    T* Get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

    // Hands the reference over to the caller, who gives it back from now on.
    T* Release() { return std::exchange(m_object, nullptr); }
    // Gives the held reference back and takes over the caller's reference to object (sunk when
    // floating).
    void Reset(T* object = nullptr) {
        if (object && g_object_is_floating(object)) g_object_ref_sink(object);
        T* old = std::exchange(m_object, object);
        if (old) g_object_unref(old);
    }
    void Swap(GObjectRef& other) noexcept { std::swap(m_object, other.m_object); }

private:
    T* m_object = nullptr;
};

}  // namespace ruvo
