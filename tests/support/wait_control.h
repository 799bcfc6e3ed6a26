#pragma once

// Test seams of Wait, defined in core/wait.cpp.
namespace brivane::test {

// Multiplies every wait by factor (1 = real time).
void setWaitScale(double factor);
// Clears the program-ending mark, so one test process can end several windows.
void resetProgramEnd();

} // namespace brivane::test
