// Usage events to the event-log endpoint, tagged with the campaign and device identifiers.
#include "launcher/launcherupdater.h"

#include "services/campaignid.h"
#include "services/deviceid.h"
#include "services/eventlogclient.h"

void LauncherUpdater::sendLogEvent(QJsonObject event) {
    // Fire and forget, through the window's network access manager.
    if (!eventLogClient)
        eventLogClient = new EventLogClient(networkManager, QUrl(), this);
    eventLogClient->send(event, gclid, deviceId);
}

void LauncherUpdater::readCampaignId() {
    gclid = ::readCampaignId();
}

void LauncherUpdater::readDeviceId() {
    deviceId = ::readDeviceId();
}
