// A worker must not outlive the process that started it: once the caller is gone (killed,
// out of memory), nobody reads its rows and its blocks are about to be removed.
#pragma once

namespace lorvex {

// Ends this process (status 1) soon after its parent process exits, by watching getppid()
// from a thread of its own. The parent is taken as the one this is first called under.
//
// PR_SET_PDEATHSIG is not used: it fires when the *thread* that started the process ends,
// and an interleaved load keeps running after the thread that started it has moved on or
// finished.
void exit_when_parent_exits();

}  // namespace lorvex
