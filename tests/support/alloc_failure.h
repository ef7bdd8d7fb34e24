// Allocation failures on demand. A program that links alloc_failure.cpp has
// the global operator new (every form) replaced: the forms that may throw
// throw when the failure is armed for the calling thread, once, and then
// allocate normally again. The nothrow forms never fail: their null is an
// answer the code checks, not an exception it must survive.
#pragma once

namespace alloc_failure {

enum class Kind {
    OutOfMemory, // std::bad_alloc
    Other,       // an exception of no kind the plug-in names (InjectedFault)
};

// What Kind::Other throws.
struct InjectedFault {};

// Arms the calling thread: after `pass` more allocations that may throw,
// the next one throws `kind`. Arming again replaces the earlier arming; one
// thread is armed at a time.
void ArmHere(Kind kind = Kind::OutOfMemory, int pass = 0);
// Disarms; answers whether the armed failure was thrown.
bool Disarm();
// Failures thrown so far in this process.
int Thrown();

} // namespace alloc_failure
