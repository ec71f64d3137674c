// Thread object with a virtual body, a manual-reset stop event and a stop-and-wait.
#pragma once

#include "foundation/event.h"
#include "foundation/object.h"
#include "foundation/platform_types.h"

class CThread : public CObject {
public:
    CThread();
    ~CThread() override;  // neither stops nor waits: the owner calls StopThread first
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Creates the thread, which runs Run at once; false when it could not be created.
    bool Start();
    // The thread's body; its result is the thread's exit code.
    virtual DWORD Run() = 0;

    // Sets the stop event and returns once the thread has ended (at once when it has none).
    void StopThread();
    // Sets the stop event without waiting (lets several threads wind down together).
    void RequestStop();

    bool HasThread() const { return m_hThread != ThreadHandle(); }
    // STILL_ACTIVE while the thread runs, then Run's result; false when there is no thread.
    // Asked by the owner's thread, as StopThread is.
    bool QueryExitCode(DWORD& code) const;

protected:
    CEvent m_hStopEvent;

private:
    // Returns once the thread has ended; at once when there is none.
    void WaitForEnd();

    ThreadHandle m_hThread;
};
