// What each part that runs on threads of its own reads of the settings,
// taken from the settings object on the user-interface thread. The parts get
// these values handed over (LiveSettings) and never read COptionsDlg.
#pragma once

#include "earth/kml.h"
#include "earth/n2k.h"
#include "history/historyStore.h"
#include "phones/phoneListener.h"
#include "publish/ftpPublisher.h"
#include "remote/serviceSettings.h"

class COptionsDlg;

// How KML is written: units, cursor size, the status line, the flight path.
KmlOptions kmlOptions(const COptionsDlg& o, FlightPathHook* flightPath);
// The tracker engine's settings: its line intake, network link and demo.
EngineSettings engineSettings(const COptionsDlg& o, FlightPathHook* flightPath);
// The tracking services' accounts, for the vehicle list's update threads.
ServiceSettings serviceSettings(const COptionsDlg& o);
// What the phone port reads at each request.
PhoneSettings phoneSettings(const COptionsDlg& o);
// What the web publisher reads at each publication.
FtpPublishing ftpPublishing(const COptionsDlg& o, FlightPathHook* flightPath);
// The history's switch and retention rules.
HistorySettings historySettings(const COptionsDlg& o);
