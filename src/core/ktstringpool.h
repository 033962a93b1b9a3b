// The pool of short string blocks is kept per thread (ktstring.cpp); a
// thread that ends hands what it holds to the process, and the next thread
// that starts takes it over.
#pragma once

// Called by a worker thread as it ends: its free lists and the rest of its
// chunk wait for the next thread. Takes a lock; once per thread.
void KTStringPoolParkThread() noexcept;
// Called by a worker thread as it starts: takes over what a thread that
// ended left, when its own pool is still empty.
void KTStringPoolAdoptParked() noexcept;
