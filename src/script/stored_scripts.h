// The check scripts the program ships: PHP texts that are stored in the application
// database and run by the script engine to vet what the user typed.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Password check. Reads $pwd; sets $err to a message in words when the password is not
// alphanumeric with at least 7 characters and at least one numeral, else leaves it empty.
// $pwd itself is not changed.
QByteArray PwdChkScript();

// File mask check. Reads $fm, a mask with * and ? wildcards that selects files inside one
// folder; sets $err to a message in words when the mask is empty or blank, contains "/"
// or a NUL byte, or could match no file name at all, else leaves it empty. $fm itself is
// not changed.
QByteArray GfmScript();

// Every shipped script with the name it is stored under, in name order.
QList<QPair<QByteArray, QByteArray>> ShippedScripts();
