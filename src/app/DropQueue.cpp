// DropQueue: one worker at a time takes the dropped files in order; each file's status line is
// "making" with its percent, then "adding", then its outcome.
#include "DropQueue.h"

#include <algorithm>
#include <utility>

#include "AudioConverter.h"
#include "DeviceManager.h"
#include "LinkFiles.h"
#include "RingtoneCommands.h"
#include "TextEncoding.h"
#include "WorkerThread.h"

namespace {

// A file's name as the status line shows it: its last part, from the file system's bytes.
std::u16string DisplayName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return Utf8ToText(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

bool DropQueue::Add(const std::vector<std::string>& paths) {
    if (paths.empty()) return false;
    bool start = false;
    {
        std::scoped_lock lock(m_lock);
        m_waiting.insert(m_waiting.end(), paths.begin(), paths.end());
        start = !std::exchange(m_worker, true);
    }
    if (start && !StartWorkerThread([this] { Run(); })) {
        {
            std::scoped_lock lock(m_lock);
            m_waiting.clear();
            m_worker = false;
        }
        m_display.ShowDropNotice(kTextRingtoneFailed + DisplayName(paths.front()));
        return false;
    }
    return true;
}

void DropQueue::Run() {
    m_display.BeginDropBusy();
    for (;;) {
        std::string path;
        {
            std::scoped_lock lock(m_lock);
            if (m_waiting.empty()) {
                // Ended under the lock: a drop that comes now starts a worker whose busy display
                // follows this end, never precedes it.
                m_display.EndDropBusy();
                m_worker = false;
                break;
            }
            path = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        try {
            AddFile(path);
        } catch (...) {
            // Memory ran out for this file: it failed, the next ones still get their turn.
            m_display.ShowDropNotice(kTextRingtoneFailed + DisplayName(path));
        }
    }
}

void DropQueue::AddFile(const std::string& path) {
    const std::u16string name = DisplayName(path);
    ruvo::audio::Request request;
    request.path = path;
    request.name = path;
    request.progress = [this, &name](int percent) { m_display.ShowDropActivity(MakingRingtoneStatus(name, percent)); };
    // The converter refuses what is no regular file (a FIFO, a device, a folder) without waiting.
    ruvo::audio::Prepared prepared = ruvo::audio::PrepareRingtone(request);
    using Outcome = ruvo::audio::Prepared::Outcome;
    if (prepared.outcome == Outcome::NotAudio) return m_display.ShowDropNotice(kTextNotAudio + name);
    if (prepared.outcome == Outcome::Failed) return m_display.ShowDropNotice(kTextRingtoneFailed + name);

    std::string bytes = std::move(prepared.bytes);
    double seconds = prepared.seconds;
    if (prepared.outcome == Outcome::AsIs) {
        if (!ruvo::audio::ReadAudioFile(path, bytes) || bytes.empty())
            return m_display.ShowDropNotice(kTextRingtoneFailed + name);
        // A .m4r is not looked at to decide; its length is read for the catalogue.
        if (ruvo::audio::IsRingtoneName(path)) seconds = ruvo::audio::ReadDuration(request);
        if (seconds <= 0) return m_display.ShowDropNotice(kTextRingtoneFailed + name);
    }
    // A title from the source's tag or the file's name, made clean and at most 255 characters.
    const std::string title = prepared.title.empty() ? ruvo::audio::TitleFromName(path) : prepared.title;
    const std::u16string titleText = Utf8ToText(title);
    m_display.ShowDropActivity(kTextAddingRingtone + name);
    DeviceLink* link = GetDeviceLink(-1);
    // The phone records milliseconds in 32 bits.
    const int seconds32 = std::min(ruvo::audio::RecordedSeconds(seconds), 0x7FFFFFFF / 1000);
    const bool added = link && link->AddRingtone(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                 static_cast<int>(bytes.size()), TextToAnsi(titleText).c_str(),
                                                 seconds32) != 0;
    m_display.ShowDropNotice(added ? kTextRingtoneAdded + titleText : kTextRingtoneFailed + name);
}
