// Reading a secret from standard input: without echo when it is a terminal, so that a
// password never shows on the screen nor in the process list.
#pragma once

#include <QByteArray>
#include <QString>

// Reads one line from standard input and returns its bytes without the line end. On a
// terminal `prompt` goes to standard error first and the typed characters are not echoed
// (echo comes back afterwards, also when SIGINT, SIGTERM or SIGHUP ends the program while
// it waits). At most 4096 bytes are kept. Empty at the end of input or on an error. Main
// thread.
QByteArray ReadSecretLine(const QString& prompt);
