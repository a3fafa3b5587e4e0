#pragma once

#include <QString>

enum VocabId {
    VocabHelp = 0, VocabGetChs, VocabGetChInfo, VocabIsBusy, VocabStopEmergency, VocabStop,
    VocabRemote, VocabSetValue, VocabSetValueREL, VocabGetValue, VocabSpeedHigh,
    VocabSpeedMiddle, VocabSpeedLow,
    VocabAnsStopEmergency, VocabAnsStop, VocabAnsRemote, VocabAnsSetValue, VocabAnsSetValueREL,
    VocabAnsGetValue, VocabAnsSpeedHigh, VocabAnsSpeedMiddle, VocabAnsSpeedLow,
    VocabAnsStandby, VocabAnsSyncRun, VocabChangedIsBusy, VocabChangedValue,
    VocabEnd
};

// One word of the bus vocabulary; id equals the row's position.
struct VocabEntry
{
    QString name;
    VocabId id;
    QString help;
};

// Every walk stops at the row whose id is VocabEnd.
extern const VocabEntry gVocabulary[VocabEnd + 1];
