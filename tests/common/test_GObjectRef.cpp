// The GObject holder: one reference per holder, given back when the last holder goes.
#include "GObjectRef.h"

#include <gtest/gtest.h>

#include <utility>

using ruvo::GObjectRef;

namespace {

// Tracks whether the object still lives: GLib clears the pointer when it is finalised.
struct Watch {
    explicit Watch(GObject* object) : pointer(object) { g_object_add_weak_pointer(object, &pointer); }
    ~Watch() {
        if (pointer) g_object_remove_weak_pointer(static_cast<GObject*>(pointer), &pointer);
    }
    bool Alive() const { return pointer != nullptr; }
    gpointer pointer;
};

unsigned Count(GObject* object) { return object->ref_count; }

}  // namespace

TEST(GObjectRef, TakesOverTheNewReferenceAndGivesItBack) {
    GObject* object = static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr));
    Watch watch(object);
    {
        GObjectRef<GObject> holder(object);
        EXPECT_EQ(holder.Get(), object);
        EXPECT_EQ(Count(object), 1u);
    }
    EXPECT_FALSE(watch.Alive());
}

TEST(GObjectRef, CopiesShareTheObjectAndMovesHandItOver) {
    GObjectRef<GObject> first(static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr)));
    GObject* object = first.Get();
    Watch watch(object);
    GObjectRef<GObject> copy = first;
    EXPECT_EQ(Count(object), 2u);
    GObjectRef<GObject> moved = std::move(copy);
    EXPECT_FALSE(copy);
    EXPECT_EQ(Count(object), 2u);
    first.Reset();
    EXPECT_TRUE(watch.Alive());
    copy = moved;
    moved = GObjectRef<GObject>();
    EXPECT_EQ(Count(object), 1u);
    const GObjectRef<GObject>& same = copy;
    copy = same;  // assigning a holder to itself keeps the reference
    EXPECT_EQ(Count(object), 1u);
    copy.Reset();
    EXPECT_FALSE(watch.Alive());
}

TEST(GObjectRef, TakeAddsAReferenceOfItsOwn) {
    GObject* object = static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr));
    Watch watch(object);
    {
        auto holder = GObjectRef<GObject>::Take(object);
        EXPECT_EQ(Count(object), 2u);
    }
    EXPECT_EQ(Count(object), 1u);
    g_object_unref(object);
    EXPECT_FALSE(watch.Alive());
}

TEST(GObjectRef, AFloatingReferenceIsSunkIntoTheHolder) {
    GObject* object = static_cast<GObject*>(g_object_new(G_TYPE_INITIALLY_UNOWNED, nullptr));
    ASSERT_TRUE(g_object_is_floating(object));
    Watch watch(object);
    {
        GObjectRef<GObject> holder(object);
        EXPECT_FALSE(g_object_is_floating(object));
        EXPECT_EQ(Count(object), 1u);
    }
    EXPECT_FALSE(watch.Alive());
}

TEST(GObjectRef, ReleaseHandsTheReferenceToTheCaller) {
    GObjectRef<GObject> holder(static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr)));
    GObject* object = holder.Release();
    EXPECT_FALSE(holder);
    Watch watch(object);
    EXPECT_EQ(Count(object), 1u);
    g_object_unref(object);
    EXPECT_FALSE(watch.Alive());
}
