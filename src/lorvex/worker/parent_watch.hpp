// A worker must not outlive the process that started it: once the caller is gone (killed,
// out of memory), nobody reads its rows and its blocks are about to be removed.
#pragma once

#include <atomic>
#include <optional>
#include <string_view>

#include <sys/types.h>

namespace lorvex {

// The loaders give each worker a memory file of its own as stderr, named after the process
// that starts it (names::kWorkerStderrPrefix), so that a worker knows its caller even if the
// caller died before the worker's first instruction.

// The caller's pid from the target of a worker's stderr link ("/memfd:<prefix><pid>
// (deleted)"); nothing for any other target (a terminal, a file, a pipe).
std::optional<pid_t> caller_named_by(std::string_view stderr_target);

// False once `pid` has ended (gone, or a zombie its parent has not reaped yet).
bool process_running(pid_t pid);

// The parent of `pid`; nothing when it is gone.
std::optional<pid_t> parent_of(pid_t pid);

// Ends this process (status 1) soon after its caller exits, watched from a thread of its own
// (the parent changing, or the caller ending). The caller is the one named by stderr, else
// the parent at this call.
//
// PR_SET_PDEATHSIG is not used: it fires when the *thread* that started the process ends,
// and an interleaved load keeps running after the thread that started it has moved on or
// finished.
void exit_when_parent_exits();

// The same for a decoder forked by the decoder service, whose parent is the service: it ends
// once the worker program that handed it the job is gone (killed by its loader, say), which
// `job_connection` tells by hanging up, or once the caller is.
void exit_when_worker_exits(int job_connection, pid_t caller);

// The same for a warm decoder, whose engine is in the caller: it ends once the caller is gone,
// or once the engine hangs up while `job_running` (nobody wants the job's rows any more).
// Between jobs the decoder reads the hang-up itself and ends without a fault.
void exit_when_engine_leaves(int connection, pid_t caller, const std::atomic<bool>& job_running);

}  // namespace lorvex
