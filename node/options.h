#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of the process; the other option words go to gParams as ever.
enum class StartMode { Serve, Check, Help, Version };

// From the arguments after the program's name: --help wins over --version, both over --check.
StartMode startModeOf(const QStringList &arguments);

QString helpText();
QString versionText();
