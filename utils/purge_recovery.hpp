// The second way into the purge protocol: a run that finds the mark of an
// interrupted run completes that run's rewrite from the backup, or undoes
// it where its truncation never reached the disk, before it purges as
// usual.  What a mark says, and so what is done here, is PurgeMark's
// statement (purge_mark.hpp).  A mark that cannot be read is never acted on.
#pragma once

#include "purge_guards.hpp"
#include "purge_mark.hpp"
#include "purge_reports.hpp"
#include "record_copy.hpp"

#include <functional>

// What a recovery sees of the run: its files, the data file's descriptor,
// and what it shares with the run's steps.
struct RecoveryView {
    FileIo& io;
    const PurgeProgram& program;
    const PurgePaths& paths;
    int data;
    int dataWriteError;  // 0 when the data file is open for writing
    const PurgeRules& rules;  // reads the mark's settings
    const PurgeReports& reports;
    RecordCopier& records;
    HeldSignals& signals;
    FILE* out;
    bool dryRun;
    double leaseSeconds;
    std::function<bool()> syncDirectory;
    // Decide only: what a real run would do with the mark is told by
    // decision(), and nothing is changed (a check).
    bool judgeOnly = false;
};

class Recovery {
public:
    enum class Outcome {
        NoMark,         // nothing was interrupted
        Done,           // the mark is gone: the interrupted run was completed or undone
        ShownInDryRun,  // said what a real run would do; the dry run shows the backup's purge
        Failed,         // reported; status() says how
        Judged,         // judgeOnly: decision() says what a real run would do
    };
    enum class Decision {
        None,
        Forget,    // the run changed nothing: only its mark goes (forgetWhy())
        Undo,      // its truncation never reached the disk: the data file is restored
        Complete,  // its truncation did: the rewrite is completed from the backup
    };

    explicit Recovery(const RecoveryView& view) : view_(view), reports_(view.reports) {}
    Recovery(const Recovery&) = delete;
    Recovery& operator=(const Recovery&) = delete;
    ~Recovery();

    Outcome run();
    int status() const { return status_; }
    // Message files of the interrupted run's dropped mail that could not be removed.
    bool filesRemain() const { return filesRemain_; }
    // The backup, opened for reading, handed over to the dry run that shows its purge.
    int takeBackup();
    Decision decision() const { return decision_; }
    const char* forgetWhy() const { return forgetWhy_; }

private:
    Outcome fail(int status);
    Outcome judged(Decision decision, const char* why = "");
    Outcome readMark(int fd, PurgeMark& mark, MarkKind& kind);
    Outcome showInDryRun(MarkKind kind);
    Outcome recover(const PurgeMark& mark);
    bool lengthsRefused(const PurgeMark& mark, uint64_t backupLength);
    Outcome forgetMark(const char* why);
    Outcome undoRun(uint64_t backupLength);
    Outcome completeRewrite(PurgeRules& rules, time_t time, uint64_t backupLength,
                            uint64_t keptLength);
    bool removeMark();
    int openRegular(const char* path, mode_t& kind);

    RecoveryView view_;
    const PurgeReports& reports_;
    int backup_ = -1;
    int status_ = kPurged;
    bool filesRemain_ = false;
    Decision decision_ = Decision::None;
    const char* forgetWhy_ = "";
};
