#include "app/externalServerLogic.h"

#include "app/OptionsDlg.h"
#include "app/dialogFields.h"
#include "trace/trace.h"

#include <optional>

ExternalServerTexts externalServerTexts(bool mapFactor) {
    ExternalServerTexts t;
    t.title = "External Servers";
    const std::string service = mapFactor ? "MapFactor" : "Mologogo";
    const std::string domain = mapFactor ? "mapfactor.com" : "mologogo.com";
    t.webGroup = service;
    t.webSiteButton = "Go to the " + service + " web site";
    t.webInstructions = "Nivra can record your friends' tracks straight from the " + service +
                        " server.\n"
                        "1. Create an account with " +
                        service +
                        " and enter its user name and password below.\n"
                        "2. In the options dialog create a new vehicle with " +
                        (mapFactor ? std::string("the tracker's VTU identifier")
                                   : std::string("the friend's ") + service + " user name") +
                        " as its name and " + domain + " as its host.";
    if (!mapFactor)
        t.webInstructions += "\nFor a public Mologogo user enter mologogo.com/public as the host.";
    t.gpsgGroup = "GpsGate";
    t.gpsgSiteButton = "Go to the GpsGate web site";
    t.gpsgInstructions = "Nivra can record your friends' tracks straight from the GpsGate "
                         "server, and send your own position there.\n"
                         "1. Create an account with GpsGate and enter its user name and "
                         "password below.\n"
                         "2. In the options dialog create a new vehicle with the friend's "
                         "GpsGate user name as its name and gpsgate.com as its host.";
    return t;
}

CExternalServerLogic::CExternalServerLogic(CExternalServerView& view, COptionsDlg& options,
                                           bool mapFactor)
    : m_view(view), m_o(options), m_mapFactor(mapFactor) {}

void CExternalServerLogic::open() {
    m_fields.webEnable = m_o.moloEnable != 0;
    m_fields.webName = m_o.moloName;
    m_fields.webPass = m_o.moloPass;
    m_fields.webFreq = std::to_string(m_o.moloFreq);
    m_fields.gpsgEnable = m_o.gpsgEnable != 0;
    m_fields.gpsgName = m_o.gpsgName;
    m_fields.gpsgPass = m_o.gpsgPass;
    m_fields.gpsgFreq = std::to_string(m_o.gpsgFreq);
    m_fields.gpsgUpdate = m_o.gpsgUpdate != 0;
    m_fields.gpsgServer = m_o.gpsgServerName;
    m_view.refresh();
}

bool CExternalServerLogic::store() {
    const int32_t webFloor = m_mapFactor ? kServicePeriodFloor : kMologogoPeriodFloor;
    const std::optional<int32_t> webFreq =
        readWholeNumber(m_fields.webFreq, webFloor, kServicePeriodMax);
    const std::optional<int32_t> gpsgFreq =
        readWholeNumber(m_fields.gpsgFreq, kServicePeriodFloor, kServicePeriodMax);
    const std::string server = trimBlanks(m_fields.gpsgServer);
    std::string problem;
    if (!webFreq)
        problem = "The " + std::string(m_mapFactor ? "MapFactor" : "Mologogo") +
                  " update period must be a whole number of seconds (\"" + m_fields.webFreq +
                  "\" is not).";
    else if (!gpsgFreq)
        problem = "The GpsGate update period must be a whole number of seconds (\"" +
                  m_fields.gpsgFreq + "\" is not).";
    else
        problem = hostNameProblem(server, kGpsGateServerExample);
    if (!problem.empty()) {
        NTRACE("external server settings refused: %s", problem.c_str());
        m_view.message(problem);
        return false;
    }
    // The order in which the settings change: the update threads read them
    // as they go.
    m_o.gpsgServerName = server;
    m_o.gpsgName = trimBlanks(m_fields.gpsgName);
    m_o.gpsgPass = trimBlanks(m_fields.gpsgPass);
    m_o.gpsgFreq = *gpsgFreq;
    m_o.moloName = trimBlanks(m_fields.webName);
    m_o.moloPass = trimBlanks(m_fields.webPass);
    m_o.moloFreq = *webFreq;
    m_o.gpsgEnable = m_fields.gpsgEnable;
    m_o.moloEnable = m_fields.webEnable;
    m_o.gpsgUpdate = m_fields.gpsgUpdate;
    // Show what was stored: a period put within its limits, trimmed names.
    open();
    return true;
}

void CExternalServerLogic::onEnter() {
    store();
}

void CExternalServerLogic::onClose() {
    if (store())
        m_view.endDialog();
}

void CExternalServerLogic::onWebSite() {
    m_view.openWebSite(m_mapFactor ? kMapFactorSite : kMologogoSite);
}

void CExternalServerLogic::onGpsGateSite() {
    m_view.openWebSite(kGpsGateSite);
}
