#include "bus/vocabulary.h"

#define NOT_A_COMMAND QStringLiteral("Not a command")

const VocabEntry gVocabulary[VocabEnd + 1] = {
    {QStringLiteral("Help"), VocabHelp, QStringLiteral("Show information for commands")},
    {QStringLiteral("GetChs"), VocabGetChs, QStringLiteral("Show the list of channels")},
    {QStringLiteral("GetChInfo"), VocabGetChInfo, QStringLiteral("Show information of a channel")},
    {QStringLiteral("IsBusy"), VocabIsBusy, QStringLiteral("Show if the channnel is busy")},
    {QStringLiteral("StopEmergency"), VocabStopEmergency, QStringLiteral("Emergency Stop the PM")},
    {QStringLiteral("Stop"), VocabStop, QStringLiteral("Stop the PM")},
    {QStringLiteral("Remote"), VocabRemote, QStringLiteral("Turn the PM controller to remote mode")},
    {QStringLiteral("SetValue"), VocabSetValue, QStringLiteral("Set a value to selected channel")},
    {QStringLiteral("SetValueREL"), VocabSetValueREL, QStringLiteral("Set a relatice value to selected channel")},
    {QStringLiteral("GetValue"), VocabGetValue, QStringLiteral("Get a value of selected channel")},
    {QStringLiteral("SpeedHigh"), VocabSpeedHigh, QStringLiteral("Set the motor speed high")},
    {QStringLiteral("SpeedMiddle"), VocabSpeedMiddle, QStringLiteral("Set the motor speed middle")},
    {QStringLiteral("SpeedLow"), VocabSpeedLow, QStringLiteral("Set the motor speed low")},
    {QStringLiteral("@StopEmergency"), VocabAnsStopEmergency, NOT_A_COMMAND},
    {QStringLiteral("@Stop"), VocabAnsStop, NOT_A_COMMAND},
    {QStringLiteral("@Remote"), VocabAnsRemote, NOT_A_COMMAND},
    {QStringLiteral("@SetValue"), VocabAnsSetValue, NOT_A_COMMAND},
    {QStringLiteral("@SetValueREL"), VocabAnsSetValueREL, NOT_A_COMMAND},
    {QStringLiteral("@GetValue"), VocabAnsGetValue, NOT_A_COMMAND},
    {QStringLiteral("@SpeedHigh"), VocabAnsSpeedHigh, NOT_A_COMMAND},
    {QStringLiteral("@SpeedMiddle"), VocabAnsSpeedMiddle, NOT_A_COMMAND},
    {QStringLiteral("@SpeedLow"), VocabAnsSpeedLow, NOT_A_COMMAND},
    {QStringLiteral("@Standby"), VocabAnsStandby, NOT_A_COMMAND},
    {QStringLiteral("@SyncRun"), VocabAnsSyncRun, NOT_A_COMMAND},
    {QStringLiteral("_ChangedIsBusy"), VocabChangedIsBusy, NOT_A_COMMAND},
    {QStringLiteral("_ChangedValue"), VocabChangedValue, NOT_A_COMMAND},
    {QString(), VocabEnd, QString()},
};
