// Camera selection and GPS source switching: which vehicle Google Earth
// follows with which tracking bits, and whether the local position comes from
// the serial receiver, the demo or the playback of a log. The settings object
// offers both as COptionsDlg::applyTracking and COptionsDlg::setGpsSource;
// these are the same operations with their collaborators passed in.
#pragma once

#include <string>

class CClients;
class COptionsDlg;
class CSubsystems;

// The demo's stand-in for the local vehicle, as the selector lists it.
inline constexpr const char* kDemoPendingEntry = "Me(demo)*";
// How long a source switch waits for a stopping demo or playback to end
// before it starts the next one.
constexpr unsigned kSourceStopWaitMs = 5000;

// Every shown vehicle loses its tracking bits; with the follow bit in
// `Tracking`, the vehicle whose key is exactly `selectedKey` gets them and
// becomes the engine's tracked vehicle.
void applyCameraSelection(CSubsystems& sys, const COptionsDlg& options, CClients& clients,
                          const std::string& selectedKey);

// demo 0: the serial receiver (when AutoConnect is 1); demo 1: the demo in
// DemoMode, otherwise the playback of LogFile into the local vehicle's name.
// Starting the demo or a playback also installs the network link (with
// AutoStartGE) unless `installLink` is false: the main window installs it
// itself, once, after it has taken the selection the switch set.
void switchGpsSource(CSubsystems& sys, const COptionsDlg& options, CClients& clients, int demo,
                     bool installLink = true);
