// A temporary folder for a test, with helpers that build file trees of chosen sizes,
// contents and times. Removed when the object goes.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTemporaryDir>

class TestDir {
public:
    TestDir();
    // Removes the folder and everything in it by the bytes of the names, so that names
    // that are not UTF-8 (which Qt's own removal cannot reach) go too.
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    // The folder, without a trailing "/".
    QString Path() const { return m_dir.path(); }
    // Path of a relative name inside the folder.
    QString Sub(const QString& relative) const;

    // Writes a file (making its parent folders) and returns its full path.
    QString Write(const QString& relative, const QByteArray& content);
    // Writes a file of `size` bytes of a repeating pattern.
    QString WriteSized(const QString& relative, qint64 size, char fill = 'x');
    // Makes a folder (and its parents) and returns its full path.
    QString MakeDir(const QString& relative);
    // Reads a whole file; empty when it cannot be read.
    QByteArray Read(const QString& relative) const;
    // Sets a file's modification and access times.
    void SetTimes(const QString& relative, const QDateTime& when);

    bool IsValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};
