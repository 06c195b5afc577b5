// UsageReports: the usage record file, its send batches and the thread that posts them to the report endpoint.
#pragma once

#include <functional>
#include <string>

// The record is one process-wide tree, the whole content of the record file:
//   "Recode": the events not yet batched, grouped by category, then by action;
//   "Report": the batches waiting to be sent.
// Each event is saved at once. Once per program start the events so far become one batch, and a
// sender thread posts the waiting batches (field "p" of a JSON post) to the report endpoint; a
// batch leaves the record when the server answers with "ResultCode" 0. Unsent batches wait in
// the file for the next start. Reporting never fails the rest of the program: every failure
// leaves the record as it was, at worst in memory only.
//
// One lock covers every change of the tree together with the save that follows it, so events
// recorded on several threads while the sender works are neither lost nor written half-way. Each
// save replaces the file atomically (ReplaceTextFile): a crash leaves the previous record whole.

// The record file's name in the documents folder.
inline constexpr char16_t kRecordFileName[] = u"recode.cx";

// The record file in this documents folder; empty when the folder is.
std::u16string RecordFilePath(const std::u16string& documentsFolder);

// The report endpoint configured for this run: RUVO_REPORT_URL, the complete URL with its path
// (e.g. http://127.0.0.1:8080/report/index). Empty, so that nothing is posted, when it is not set
// or when RUVO_NO_REPORT is 1.
std::u16string ReportUrlFromEnvironment();

// Reads the record file into the tree (once per run; later calls do nothing). A missing,
// unreadable or non-JSON file still gives a tree; "Recode" and "Report" are added when missing.
void LoadReports(const std::u16string& path);

// Once per run, after LoadReports. When no batch is waiting, the events recorded so far become one
// batch (and "Recode" starts empty). Then, when url is not empty and a batch waits, the sender
// thread starts; header is the extra header line of its requests (the host description). With an
// empty url the batch is made all the same and waits in the file, as after a failed post.
void StartReporting(const std::u16string& url, const std::u16string& header);

// Records one event (category, action, label) with the local time and saves the record.
// Nothing happens before LoadReports.
void AddReport(const std::u16string& category, const std::u16string& action, const std::u16string& label);

// Writes the whole tree to the record file, when there is a tree and a path.
void SaveReports();

// The sender: posts each waiting batch in order, removing and saving after each acknowledged one;
// stops at the first batch the server does not acknowledge. Started by StartReporting.
void ReportSenderThread();

// What start-up runs: LoadReports of the record file in the documents folder, then StartReporting
// to the configured endpoint (ReportUrlFromEnvironment). The host description is asked for only
// when reports will be posted, so that a run without reporting gathers no facts about the host.
using HostDescriptionSource = std::function<std::u16string()>;
void StartUsageReporting(const std::u16string& documentsFolder, const HostDescriptionSource& describeHost);

// Waits until the sender thread of this run, if one was started, has ended. The program itself
// never waits for it; tests and an orderly shutdown do.
void WaitForReportSender();

// Waits for the sender and forgets the tree, the path, the URL and the header, as the end of the
// process would; the next LoadReports is a new program start. For tests that play several starts
// in one process.
void UnloadReports();
