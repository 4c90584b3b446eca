// The external server dialog's logic, CExternalAppDlg's rules without a
// window: the accounts of the web tracking service (Mologogo, or MapFactor
// with the mapFactor setting) and of GpsGate, read back into the settings in
// a fixed order with the period floors, Enter that stores and stays, and the
// close (OK, Escape, the close box) that stores and ends. A front end
// implements CExternalServerView; all of it runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

class COptionsDlg;

// The web tracking service exchanges at most every 10 s with Mologogo; the
// MapFactor and GpsGate periods only need to be positive. No period is
// longer than a day.
constexpr int32_t kMologogoPeriodFloor = 10;
constexpr int32_t kServicePeriodFloor = 1;
constexpr int32_t kServicePeriodMax = 86400;

inline constexpr const char* kMologogoSite = "https://www.mologogo.com/";
inline constexpr const char* kMapFactorSite = "https://www.mapfactor.com/";
inline constexpr const char* kGpsGateSite = "https://gpsgate.com/";
// The GpsGate server named in the message about a server field that holds
// more than a host name (the server the setting starts with).
inline constexpr const char* kGpsGateServerExample = "online.gpsgate.com";

// The fields as typed.
struct ExternalServerFields {
    bool webEnable = false;
    std::string webName;
    std::string webPass;
    std::string webFreq;
    bool gpsgEnable = false;
    std::string gpsgName;
    std::string gpsgPass;
    std::string gpsgFreq;
    bool gpsgUpdate = false;
    std::string gpsgServer;
};

// The captions and fixed instructions of one variant.
struct ExternalServerTexts {
    std::string title;
    std::string webGroup;
    std::string webInstructions;
    std::string webSiteButton;
    std::string gpsgGroup;
    std::string gpsgInstructions;
    std::string gpsgSiteButton;
};
ExternalServerTexts externalServerTexts(bool mapFactor);

class CExternalServerView {
public:
    virtual ~CExternalServerView() = default;
    // The fields changed (opening, and a period put back within its limits).
    virtual void refresh() = 0;
    // A message box over the dialog.
    virtual void message(const std::string& text) = 0;
    virtual void endDialog() = 0;
    // Opens a web address in the user's browser.
    virtual void openWebSite(const std::string& url) = 0;
};

class CExternalServerLogic {
public:
    CExternalServerLogic(CExternalServerView& view, COptionsDlg& options, bool mapFactor);

    void open();
    ExternalServerFields& fields() { return m_fields; }
    const ExternalServerFields& fields() const { return m_fields; }
    bool mapFactor() const { return m_mapFactor; }

    // Reads the fields into the settings. A field that cannot be stored (a
    // period that is no number, a server that is no host name) gets a
    // message and nothing is stored; false then.
    bool store();
    // Enter: stores and stays open.
    void onEnter();
    // OK, Escape, the close box: stores and ends (stays open with a message
    // when a field cannot be stored).
    void onClose();
    void onWebSite();
    void onGpsGateSite();

private:
    CExternalServerView& m_view;
    COptionsDlg& m_o;
    bool m_mapFactor;
    ExternalServerFields m_fields;
};
