// Paints the user interface the stand-in plays into the engine's view window: the latest
// replies as text and the incoming PCM waveform. GDI only, user-interface thread only.
#ifndef STANDINS_ENGINE_SCENARIO_VIEW_PAINTER_H_
#define STANDINS_ENGINE_SCENARIO_VIEW_PAINTER_H_

#ifdef _WIN32

#include <windows.h>

#include "standins/engine/scenario/scenario_player.h"

namespace engine_standin {

// Draws the whole client area off screen and copies it to dc in one go, so the 30 Hz repaints
// do not flicker.
void PaintScenarioView(HDC dc, const RECT& client, const ScenarioPlayer::ViewSnapshot& snapshot);

}  // namespace engine_standin

#endif  // _WIN32

#endif  // STANDINS_ENGINE_SCENARIO_VIEW_PAINTER_H_
