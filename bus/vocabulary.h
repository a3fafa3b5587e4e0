#pragma once

#include <QString>

// One word of the bus vocabulary; id equals the row's position.
struct VocabEntry
{
    QString name;
    int id;
    QString help;
};

enum VocabId {
    VocabHelp = 0, VocabGetChs, VocabGetChInfo, VocabIsBusy, VocabStopEmergency, VocabStop,
    VocabRemote, VocabSetValue, VocabSetValueREL, VocabGetValue, VocabSpeedHigh,
    VocabSpeedMiddle, VocabSpeedLow,
    VocabAnsStopEmergency, VocabAnsStop, VocabAnsRemote, VocabAnsSetValue, VocabAnsSetValueREL,
    VocabAnsGetValue, VocabAnsSpeedHigh, VocabAnsSpeedMiddle, VocabAnsSpeedLow,
    VocabAnsStandby, VocabAnsSyncRun, VocabChangedIsBusy, VocabChangedValue,
    VocabEnd = 26
};

// 27 rows; every walk stops at the row whose id is VocabEnd.
extern const VocabEntry gVocabulary[VocabEnd + 1];
