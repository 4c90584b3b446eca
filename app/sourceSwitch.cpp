#include "app/sourceSwitch.h"

#include "app/OptionsDlg.h"
#include "app/subsystems.h"
#include "app/testDlg.h"
#include "remote/client.h"
#include "trace/trace.h"

namespace {

// A source that was asked to stop still runs until its thread sees the
// request, and starting while it runs does nothing; so wait for it to end.
void stopSourceAndWait(CSubsystems& sys) {
    sys.stopSource();
    constexpr unsigned kStepMs = 100;
    for (unsigned waited = 0; sys.sourceRunning() && waited < kSourceStopWaitMs; waited += kStepMs)
        sys.waitMs(kStepMs);
    if (sys.sourceRunning())
        NTRACE("demo/playback still running after %u ms", kSourceStopWaitMs);
}

} // namespace

void applyCameraSelection(CSubsystems& sys, const COptionsDlg& options, CClients& clients,
                          const std::string& selectedKey) {
    // The KML writers read the tracking bits and the speed band meanwhile.
    TrackLockGuard lock;
    const std::vector<CClient*> vehicles = clients.vehicles();
    for (CClient* v : vehicles) {
        v->tracking = 0;
        v->changed = 1;
    }
    const int tracking = options.Tracking;
    if (!(tracking & kTrackFollow))
        return;
    for (CClient* v : vehicles) {
        if (v->name == selectedKey) {
            v->tracking = tracking;
            sys.setTrackedVehicle(v);
            v->changed = 1;
            v->track.m_newPt = 1;
        }
        v->speedBandIndex = 99;
    }
}

void switchGpsSource(CSubsystems& sys, const COptionsDlg& options, CClients& clients, int demo,
                     bool installLink) {
    if (!demo) {
        sys.stopSource();
        sys.waitMs(1000);
        if (options.AutoConnect == 1) {
            sys.configureSerial(options.AutoFind, options.Port, options.RateNumber,
                                options.FlowControl);
            sys.startSerial();
        }
        return;
    }
    if (options.DemoMode == 1) {
        // A playback still running would keep the demo from starting.
        if (sys.sourceRunning() && sys.playback())
            stopSourceAndWait(sys);
        sys.setPlayback(false);
        sys.startSource(std::string());
        setPendingSelection(kDemoPendingEntry);
    } else {
        if (sys.sourceRunning())
            stopSourceAndWait(sys);
        sys.setPlayback(true);
        CClient* local = clients.realLocalVehicle();
        const std::string name = local ? local->uName : std::string("Me");
        setPendingSelection(name);
        sys.startSource(name);
    }
    if (installLink && options.AutoStartGE == 1)
        sys.loadServer();
    sys.waitMs(1000);
}

void COptionsDlg::applyTracking(const std::string& selectedKey) {
    if (m_sys)
        applyCameraSelection(*m_sys, *this, m_sys->clients(), selectedKey);
}

void COptionsDlg::setGpsSource(int demo) {
    if (m_sys)
        switchGpsSource(*m_sys, *this, m_sys->clients(), demo);
}
