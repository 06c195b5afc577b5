// SyncFault: a fault stored in a phone's folder that the phone's next sync session acts out in place of one of its messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ruvo::phone {

// The agent's messages a fault can replace.
enum class SyncStep {
    Allowed,   // "SyncAllowed", when the connection opens
    Ready,     // "ReadyForSync"
    Manifest,  // "AssetManifest"
    Finished,  // "SyncFinished"; with a fault here nothing is applied
};

// What the agent does instead of sending the message.
enum class SyncFaultAction {
    SyncFailed,  // sends "SyncFailed" with error code -1
    Drop,        // closes the connection
    Silent,      // sends nothing and keeps the connection open until the host closes it (bounded)
};

// Stored as the text "STEP ACTION\n" (for example "ready drop") in DIR/sync-fault, so that the
// agent of any process serving the phone finds it. A session takes the fault when it starts (the
// first session to start gets it, and no later one), so it is used up by that session whether or
// not its step is reached.
class SyncFault {
public:
    SyncFault(SyncStep step, SyncFaultAction action) : m_step(step), m_action(action) {}

    // The fault the two words name ("allowed", "ready", "manifest", "finished"; "sync-failed",
    // "drop", "silent"), nothing for other words.
    static std::optional<SyncFault> Parse(std::string_view step, std::string_view action);

    SyncStep Step() const { return m_step; }
    SyncFaultAction Action() const { return m_action; }
    std::string Text() const;

    // Stores the fault for the next session of the phone in dir, in place of any other.
    bool Store(const std::string& dir, std::string* error) const;
    // Removes a stored fault (none stored is fine).
    static bool Clear(const std::string& dir, std::string* error);
    // Takes the stored fault away for a session that is starting; nothing when none is stored
    // (a stored text that names no fault is taken away as well).
    static std::optional<SyncFault> Take(const std::string& dir);

    // The name of the file in the phone's folder.
    static constexpr const char* kFileName = "sync-fault";

private:
    SyncStep m_step;
    SyncFaultAction m_action;
};

}  // namespace ruvo::phone
