#pragma once

#include <memory>

namespace lantern {

class Station;

// Switches read at launch (settings, or --key=value for the run) that make
// the app report what it does on standard output, for diagnosis:
//   debugCapture=ID      captures ID ("all" or "whole-mac", or an application)
//                        and prints its peak once per second of audio
//   debugOnAir           goes on air at launch; with debugClaim=NAME (or
//                        "private") first claims an address, with
//                        debugPasscode; debugStopAfter=SECONDS sets the stop
//   debugPanelWindow     (handled by the desktop app) the panel in a window
//   debugPanelTiming     prints how long the panel took from being asked for
//                        to its first frame
//   debugShowChoice      (handled by the panel) opens on who can listen
namespace DebugSwitches {

// Makes standard output unbuffered when any switch that prints is on.
void prepareOutput();
void startCaptureIfAsked();
void goOnAirIfAsked(Station& station);
bool timesPanel();
// "panel: first frame after N ms (scene built|scene kept)".
void reportPanelFrame(double milliseconds, bool built);
// The panel window's line: "window: N inputs: A, B default: C".
void reportPanelWindow(unsigned long long windowNumber);

} // namespace DebugSwitches

} // namespace lantern
