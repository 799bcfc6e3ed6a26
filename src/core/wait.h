#pragma once

#include <chrono>
#include <functional>

namespace brivane {

// Thrown out of Wait once the program is ending: the operation that waited is abandoned and the
// handler that started it returns without doing anything more.
struct ProgramEnding {};

// Pauses for ms milliseconds while the window keeps processing every event. Sleeps in a nested
// event loop woken by a precise timer, so a long wait costs no CPU. Throws ProgramEnding when the
// program starts ending before or during the wait.
void Wait(double ms);

// Keeps the window alive until done() is true (checked at once, then every few milliseconds and
// at every wakeWaits()) or timeout has passed in real time; true when done. Throws ProgramEnding
// like Wait.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Has every waitUntil in progress check its condition now: for whatever its condition reads, such
// as a reply that has just arrived.
void wakeWaits();

// Marks the program as ending and wakes every Wait in progress.
void requestProgramEnd();
bool programEnding();

} // namespace brivane
