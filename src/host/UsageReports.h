// UsageReports: the usage record file, its send batches and the thread that posts them to the report endpoint.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The record is one process-wide tree, the whole content of the record file:
//   "Recode": the events not yet batched, grouped by category, then by action;
//   "Report": the batches waiting to be sent.
// Events are recorded in memory and saved by a saver thread of the record's own, so recording does
// no file I/O on the caller's thread. Once per program start the events so far become one batch, and a
// sender thread posts the waiting batches (field "p" of a JSON post) to the report endpoint; a
// batch leaves the record when the server answers with "ResultCode" 0. Unsent batches wait in
// the file for the next start. Reporting never fails the rest of the program: every failure
// leaves the record as it was, at worst in memory only.
//
// One lock covers every change of the tree and the saver's copy of it, so events recorded on
// several threads while the sender works are neither lost nor written half-way. Each save
// replaces the file atomically (ReplaceTextFile): a crash leaves the previous record whole.
//
// The record is bounded. Without a report endpoint (or a server that never acknowledges) the
// waiting batch never leaves, and the events recorded meanwhile cannot become a batch; so the
// events under "Recode" are kept up to kMaxRecodeBytes (estimated as written), the oldest ones
// dropped first, and a record read at start has its batches bounded the same way. The file is
// read only when it is a regular file (not a link, FIFO or device) of at most kMaxRecordReadBytes;
// any other record file is left alone and the run keeps its record in memory only.

// The record file's name in the documents folder.
inline constexpr char16_t kRecordFileName[] = u"recode.cx";

// The estimated size of the events kept under "Recode", and of the batches kept at start.
inline constexpr size_t kMaxRecodeBytes = 1024 * 1024;
// The largest record file that is read.
inline constexpr int64_t kMaxRecordReadBytes = 32 * 1024 * 1024;
// Category, action and label texts are cut to this many characters.
inline constexpr size_t kMaxReportTextLength = 2048;

// The record file in this documents folder; empty when the folder is.
std::u16string RecordFilePath(const std::u16string& documentsFolder);

// The report endpoint configured for this run: RUVO_REPORT_URL, the complete URL with its path
// (e.g. http://127.0.0.1:8080/report/index). Empty, so that nothing is posted, when it is not set
// or when RUVO_NO_REPORT is 1.
std::u16string ReportUrlFromEnvironment();

// Reads the record file into the tree (once per run; later calls do nothing) and starts the
// saver. A missing or non-JSON file still gives a tree; "Recode" and "Report" are added when
// missing. A record file that is refused (see above) gives an empty tree that is never saved.
// The file is read and parsed without the record's lock held.
void LoadReports(const std::u16string& path);

// Once per run, after LoadReports. When no batch is waiting, the events recorded so far become one
// batch (and "Recode" starts empty). Then, when url is not empty and a batch waits, the sender
// thread starts; header is the extra header line of its requests (the host description). With an
// empty url the batch is made all the same and waits in the file, as after a failed post.
void StartReporting(const std::u16string& url, const std::u16string& header);

// Records one event (category, action, label) with the local time and asks the saver for a save.
// Nothing happens before LoadReports. The texts are recorded as text: a double quote becomes an
// apostrophe, a backslash a slash and a control character a space (the record's writer does not
// escape, so these would be read back as structure), and each is cut to kMaxReportTextLength
// characters.
void AddReport(const std::u16string& category, const std::u16string& action, const std::u16string& label);

// Saves the whole tree now and waits until it is written (or failed), when there is a tree and a
// path. For tests and an orderly end; the program's events are saved by the saver.
void SaveReports();

// What ending the process does (the close, SIGTERM): records the last event (category, action,
// label) and saves the record, waiting at most bound in all for the record's lock and the save,
// and then closes the record for good: a save still under way is called off and its temporary
// file removed, so that std::_Exit right after leaves the previous record or the new one whole and
// nothing beside it. True when the record with the last event was written.
bool EndReportingForExit(std::chrono::milliseconds bound, const std::u16string& category, const std::u16string& action,
                         const std::u16string& label);

// The sender: posts each waiting batch in order, removing and saving after each acknowledged one;
// stops at the first batch the server does not acknowledge. Started by StartReporting.
void ReportSenderThread();

// What start-up runs: LoadReports of the record file in the documents folder, then StartReporting
// to the configured endpoint (ReportUrlFromEnvironment). The host description is asked for only
// when reports will be posted, so that a run without reporting gathers no facts about the host.
using HostDescriptionSource = std::function<std::u16string()>;
void StartUsageReporting(const std::u16string& documentsFolder, const HostDescriptionSource& describeHost);

// Waits until the sender thread of this run, if one was started, has ended, and then for the
// saver to write what it left. The program itself never waits for it; tests and an orderly
// shutdown do.
void WaitForReportSender();

// Waits for the sender, lets the saver write what is left and end, and forgets the tree, the path, the URL and the header, as the end of the
// process would; the next LoadReports is a new program start. For tests that play several starts
// in one process.
void UnloadReports();
