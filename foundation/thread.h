// Thread object with a virtual body, a manual-reset stop event and a stop-and-wait.
#pragma once

#include "foundation/event.h"
#include "foundation/object.h"
#include "foundation/platform_types.h"

class CThread : public CObject {
public:
    explicit CThread(bool bAutoDelete);
    ~CThread() override;  // neither stops nor waits: the owner calls StopThread first

    // Creates the thread, which runs Run at once; false when it could not be created.
    virtual bool Start();
    // The thread's body; its result is the thread's exit code.
    virtual DWORD Run() = 0;

    // Sets the stop event and returns once the thread has ended, looking every 100 ms.
    void StopThread();
    // Sets the stop event without waiting (lets several threads wind down together).
    void RequestStop();

    bool HasThread() const { return m_hThread != ThreadHandle(); }
    // STILL_ACTIVE while the thread runs, then Run's result; false when there is no thread.
    bool QueryExitCode(DWORD& code) const;

    // Has the calling thread give way to the process's other threads when they want its core:
    // a thread whose work can wait (the request log's writer) then never holds up one that
    // answers requests, yet still runs on an idle core at once.
    static void GiveWayToOtherThreads();

    // Entry point on the new thread: Run, then the auto-delete.
    static DWORD ThreadProc(void* pParameter);

protected:
    ThreadHandle m_hThread;
    bool m_bAutoDelete;
    CEvent m_hStopEvent;
};
