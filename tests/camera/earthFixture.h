// A test double for Google Earth on a manual clock, installed for one test:
// every wait of the camera control passes without sleeping, and the process-
// wide camera state starts fresh.
#pragma once

#include "common/recordingUi.h"
#include "common/traceCapture.h"
#include "earth/camera.h"
#include "earth/earthTestDouble.h"
#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <memory>

class EarthFixture : public ::testing::Test {
protected:
    void SetUp() override {
        g_bShutdown = 0;
        resetMessagesShown();
        ge->setClock(clock);
        setEarthClock(clock);
        setEarthApp(ge);
        resetCameraState();
    }
    void TearDown() override {
        g_bShutdown = 0;
        setEarthApp(nullptr);
        setEarthClock(nullptr);
        resetCameraState();
    }

    static EarthCamera camera(double lat, double lon, double range, double tilt, double hdg) {
        EarthCamera c;
        c.focusLat = lat;
        c.focusLon = lon;
        c.range = range;
        c.tilt = tilt;
        c.azimuth = hdg;
        c.altMode = 1;
        return c;
    }

    std::shared_ptr<ManualEarthClock> clock = std::make_shared<ManualEarthClock>();
    std::shared_ptr<EarthTestDouble> ge = std::make_shared<EarthTestDouble>();
    TraceCapture trace;
    RecordingUi ui;
};
