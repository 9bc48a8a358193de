// Process-wide counts of resources the engine must give back, for the audit. Any thread.
#ifndef STANDINS_AUDIO_RESOURCE_COUNTS_H_
#define STANDINS_AUDIO_RESOURCE_COUNTS_H_

namespace virtual_audio {

// Open event handles (host build) or all open handles of the process (Windows); -1: unknown.
long OpenEventHandles();
// CoTaskMemAlloc blocks not yet freed; -1 where the build cannot tell (Windows).
long LiveCoTaskMemBlocks();

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_RESOURCE_COUNTS_H_
