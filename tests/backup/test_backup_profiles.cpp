// Backup profiles: selection rules, mask matching, the profile blob, naming, readiness,
// counters and their recovery, deletion.
#include "backup/backup_log.h"
#include "backup/backup_store.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/version_blob.h"
#include "base/bar_list.h"
#include "base/errors.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_utilities.h"
#include "storage/sqlite_layer.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

class Profiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TTestHost>();
        m_host->OpenStores(m_dir.Sub("prog"));
        m_host->StartProfiles(false);
        ASSERT_NE(m_host->Profiles(), nullptr);
    }
    TProfiles& List() { return *m_host->Profiles(); }
    void Reload() {
        m_host->StopProfiles();
        m_host->StartProfiles(false);
    }
    QString Target(const QString& name = "target") { return m_dir.MakeDir(name) + "/"; }
    // A ready profile on `target` selecting .txt files.
    TProfile* ReadyProfile(const QString& target) {
        TProfile* profile = List().NewProfile();
        profile->SetExtensions(".txt\r\n");
        profile->SetTarget(target);
        return profile;
    }
    QList<TLogEntry> LogEntries() { return TBackupLog::ParseLog(List().Log().ReadLog()); }

    TestDir m_dir;
    std::unique_ptr<TTestHost> m_host;
};

TEST(MaskMatching, PrefixRulesOfBaseAndExtension) {
    struct Case {
        const char* name;
        const char* mask;
        bool matches;
    };
    const Case cases[] = {
        {"report.doc", "REP", true},  // a mask matches every name that begins with it
        {"rep.txt", "REP", true},
        {"rep.txt", "report", true},    // a shorter name that begins the mask
        {"/x/y/a.tmp", "*.TMP", true},  // only the name part counts
        {"a.tmpx", "*.tmp", true},
        {"abc", "a?c", true},
        {"abd.txt", "a?c", false},
        {"x.txt", "*.doc", false},
        {"noext", "*.", true},
        {"Mixed.Case", "mixed.CASE", true},
        {"b.txt", "a*", false},
        {"~lock.txt", "~*", true},
        {"data.txt", ".txt", true},  // an empty mask base is "*"
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MaskMatches(c.name, c.mask), c.matches) << c.name << " " << c.mask;
    }
}

TEST_F(Profiles, SelectionRules) {
    const QString target = Target();
    TProfile* profile = ReadyProfile(target);
    profile->SetExtensions(".txt\r\n.tmp\r\n");
    profile->SetOverrideList(kAlwaysBackup, "REP");
    profile->SetOverrideList(kAlwaysSkip, "*.TMP");
    m_dir.MakeDir("target/SUB/DEEP");
    profile->SetIgnoreList(QStringLiteral("SUB"));

    struct Case {
        const char* file;
        int priority;
        bool selected;
    };
    const Case cases[] = {
        {"report.doc", 0, true},  // Always Backup, extension not selected
        {"rep.txt", 0, true},
        {"a.tmp", 0, false},          // Always Skip beats the selected extension
        {"rep.tmp", 0, true},         // +16 - 8
        {"rep.tmp", 2, false},        // +8 - 16
        {"other.doc", 0, false},      // no rule, extension not selected
        {"other.txt", 0, true},       // no rule, extension selected
        {"SUB/a.txt", 0, false},      // ignored subfolder
        {"SUB/DEEP/b.txt", 0, true},  // below it: not ignored
    };
    for (const Case& c : cases) {
        m_dir.Write(QStringLiteral("target/") + c.file, "content");
        profile->SetPriorityOrder(c.priority);
        EXPECT_EQ(profile->ShouldBackup(target + c.file), c.selected) << c.file;
    }
}

TEST_F(Profiles, SizeLimitAndEmptyFilesAreLogged) {
    const QString target = Target();
    TProfile* profile = ReadyProfile(target);
    profile->SetSizeLimit(0);  // 1 KiB
    EXPECT_TRUE(profile->ShouldBackup(m_dir.WriteSized("target/a.txt", 2047)));
    EXPECT_FALSE(profile->ShouldBackup(m_dir.WriteSized("target/b.txt", 2048)));
    // Every file above the limit is logged, selected or not.
    EXPECT_FALSE(profile->ShouldBackup(m_dir.WriteSized("target/c.bin", 4096)));
    const QString empty = m_dir.Write("target/empty.txt", "");
    EXPECT_FALSE(profile->ShouldBackup(empty));
    profile->SetBit(kBitNoEmptyFiles, false);
    EXPECT_TRUE(profile->ShouldBackup(empty));
    EXPECT_FALSE(profile->ShouldBackup(m_dir.Write("target/empty.bin", "")));  // not selected

    const QList<TLogEntry> entries = LogEntries();
    ASSERT_EQ(entries.size(), 3);
    // The file's real name: on Linux the upper-cased one may name another file or none.
    EXPECT_EQ(entries[0].event, target + "b.txt");
    EXPECT_EQ(entries[0].reason, "-2");
    EXPECT_EQ(entries[1].event, target + "c.bin");
    EXPECT_EQ(entries[1].reason, "-2");
    EXPECT_EQ(entries[2].event, target + "empty.txt");
    EXPECT_EQ(entries[2].reason, "-1");
}

TEST_F(Profiles, AFileOf4GiBIsNotTakenForASmallOne) {
    const QString target = Target();
    TProfile* profile = ReadyProfile(target);
    QFile file(target + "huge.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // Sparse: 4 GiB + 100 bytes, which a 32-bit size would read as 100 bytes.
    ASSERT_TRUE(file.resize((qint64(1) << 32) + 100));
    file.close();
    EXPECT_FALSE(profile->ShouldBackup(target + "huge.txt"));
    ASSERT_FALSE(LogEntries().isEmpty());
    EXPECT_EQ(LogEntries().last().reason, "-2");
}

TEST_F(Profiles, LargerSizeLimitsPassLargeFilesAndKeepTheirIndexInTheBlob) {
    const QString target = Target();
    TProfile* profile = ReadyProfile(target);
    QFile file(target + "video.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(5LL << 30));  // sparse, 5 GiB
    file.close();
    const qint64 limit16 = 16LL * 1024 * 1024;
    const struct {
        int index;
        QString text;
        QString file;
        bool passes;
    } kCases[] = {
        {10, "4096 Kb", m_dir.WriteSized("target/a.txt", 4 * 1024 * 1024 + 1023), true},
        {10, "4096 Kb", m_dir.WriteSized("target/b.txt", 4 * 1024 * 1024 + 1024), false},
        {11, "16 MB", m_dir.WriteSized("target/c.txt", limit16 + 1023), true},
        {11, "16 MB", m_dir.WriteSized("target/d.txt", limit16 + 1024), false},
        {15, "4 GB", target + "video.txt", false},
        {kNoSizeLimit, "No limit", target + "video.txt", true},
    };
    for (const auto& c : kCases) {
        profile->SetSizeLimit(c.index);
        EXPECT_EQ(SizeLimitTexts().value(c.index), c.text);
        EXPECT_EQ(profile->ShouldBackup(c.file), c.passes) << c.index << qPrintable(c.file);
    }

    // The new index goes into the header's byte and reads back; an index beyond the table
    // reads as the default, and today's indices read as before.
    profile->SetSizeLimit(kNoSizeLimit);
    QByteArray blob = profile->WriteProfileBlob();
    EXPECT_EQ(static_cast<int>(blob[22]), kNoSizeLimit);
    std::unique_ptr<TProfile> read = TProfile::FromBlob(List(), blob);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->SizeLimitIndex(), kNoSizeLimit);
    blob[22] = static_cast<char>(kSizeLimits);
    EXPECT_EQ(TProfile::FromBlob(List(), blob)->SizeLimitIndex(), kDefaultSizeLimit);
    blob[22] = 10;
    EXPECT_EQ(TProfile::FromBlob(List(), blob)->SizeLimitKb(), 4096);

    EXPECT_EQ(SizeLimitIndexFromText("256"), 6);
    EXPECT_EQ(SizeLimitIndexFromText("1 gb"), 14);
    EXPECT_EQ(SizeLimitIndexFromText("none"), kNoSizeLimit);
    EXPECT_EQ(SizeLimitIndexFromText("300"), -1);
    EXPECT_EQ(SizeLimitIndexFromText("-1"), -1);
}

TEST_F(Profiles, NeverDiscardMasks) {
    TProfile* profile = ReadyProfile(Target());
    profile->SetOverrideList(kNeverDiscard, QStringLiteral("*.doc\uE000keep"));
    EXPECT_EQ(profile->OverrideList(kNeverDiscard), QStringList({"*.doc", "keep"}));
    EXPECT_FALSE(profile->MayDiscard("letter.doc"));
    EXPECT_FALSE(profile->MayDiscard("keeper.txt"));
    EXPECT_TRUE(profile->MayDiscard("other.txt"));
}

TEST_F(Profiles, BlobLayoutAndRoundTrip) {
    const QString target = Target("tgt");
    m_dir.MakeDir("tgt/Ignored");
    TProfile* profile = ReadyProfile(target);
    profile->SetName(QStringLiteral("Docs \u00E9t\u00E9"));
    profile->SetExtensions(".txt\r\n.doc\r\n");
    profile->SetBit(kBitDetailedLog, true);
    profile->SetBit(kBitAutostart, true);
    profile->SetSizeLimit(9);
    profile->SetDiscardRule(5);
    profile->SetPriorityOrder(4);
    profile->SetOverrideListFrom(kAlwaysBackup, {"plain", "wild*"});
    profile->SetOverrideList(kAlwaysSkip, "~*");
    profile->SetIgnoreList("Ignored\uE000Missing");
    EXPECT_EQ(profile->IgnoreList(), QStringList({"Ignored"}));

    const QByteArray blob = profile->WriteProfileBlob();
    const char* h = blob.constData();
    EXPECT_EQ(h[0], 0);
    EXPECT_EQ(h[1], 0);
    EXPECT_EQ(h[2], 0);
    EXPECT_EQ(h[3], 4);
    // Ready (bit 18) is set on the profile but never stored.
    EXPECT_TRUE(profile->TestBit(kBitReady));
    EXPECT_EQ(qFromLittleEndian<quint32>(h + 4), 60u | 1u | 2u);
    EXPECT_EQ(qFromLittleEndian<quint16>(h + 8), QStringLiteral("wild*\uE000plain").size());
    EXPECT_EQ(qFromLittleEndian<quint16>(h + 10), 2);
    EXPECT_EQ(qFromLittleEndian<quint16>(h + 12), 0);
    EXPECT_EQ(qFromLittleEndian<quint16>(h + 14), 7);
    EXPECT_EQ(qFromLittleEndian<quint16>(h + 16), 12);  // ".txt\r\n.doc\r\n"
    EXPECT_EQ(h[20], 8);
    EXPECT_EQ(static_cast<quint8>(h[21]), target.size());
    EXPECT_EQ(h[22], 9);
    EXPECT_EQ(h[23], 5);
    EXPECT_EQ(qFromLittleEndian<qint32>(h + 24), profile->Number());
    // The name follows the header in UTF-16LE.
    EXPECT_EQ(static_cast<quint8>(blob[28 + 2 * 5]), 0xE9);
    EXPECT_EQ(blob.size(), 28 + 2 * (8 + target.size() + 12 + 7 + 11 + 2));

    // Another list reads it back; the folder is taken there, so the copy is not ready.
    const std::unique_ptr<TProfile> copy = TProfile::FromBlob(List(), blob);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->Name(), profile->Name());
    EXPECT_EQ(copy->Extensions(), QStringList({".txt", ".doc"}));
    EXPECT_EQ(copy->SizeLimitIndex(), 9);
    EXPECT_EQ(copy->DiscardRule(), 5);
    EXPECT_EQ(copy->PriorityOrder(), 4);
    EXPECT_EQ(copy->OverrideList(kAlwaysBackup), QStringList({"wild*", "plain"}));
    EXPECT_EQ(copy->OverrideList(kAlwaysSkip), QStringList({"~*"}));
    EXPECT_FALSE(copy->TestBit(kBitReady));
    EXPECT_FALSE(copy->TestBit(kBitAutostart));

    // In a fresh list the copy is complete, ready and keeps Autostart.
    const int number = profile->Number();
    Reload();
    TProfile* loaded = List().FindById(number);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->Target(), target);
    EXPECT_EQ(loaded->IgnoreList(), QStringList({"Ignored"}));
    EXPECT_TRUE(loaded->TestBit(kBitReady));
    EXPECT_TRUE(loaded->TestBit(kBitAutostart));
    EXPECT_TRUE(loaded->TestBit(kBitDetailedLog));
    EXPECT_EQ(loaded->WriteProfileBlob(), blob);
}

TEST_F(Profiles, DamagedBlobsAreSkipped) {
    TProfile* profile = ReadyProfile(Target());
    QByteArray blob = profile->WriteProfileBlob();
    EXPECT_FALSE(TProfile::FromBlob(List(), blob.left(27)));
    EXPECT_FALSE(TProfile::FromBlob(List(), blob.left(blob.size() - 1)));
    QByteArray pointsPast = blob;
    qToLittleEndian<quint16>(60000, pointsPast.data() + 16);
    EXPECT_FALSE(TProfile::FromBlob(List(), pointsPast));
    QByteArray priority = blob;
    priority[3] = 9;
    const std::unique_ptr<TProfile> read = TProfile::FromBlob(List(), priority);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->PriorityOrder(), 0);

    // Stored under names in the list: a truncated one and an over-long one are skipped at
    // load, the good one loads.
    const QString name = profile->Name();
    profile->SetOverrideList(kAlwaysSkip, QString(6000, 'x'));  // blob beyond 10 KiB
    TProfile* second = List().NewProfile();
    second->SetName("Second");
    TProfile* third = List().NewProfile();
    third->SetName("Third");
    m_host->StopProfiles();  // stores all three
    m_host->SaveProfileBlob("Third", blob.left(40));
    m_host->StartProfiles(false);
    EXPECT_EQ(List().Count(), 1);
    EXPECT_NE(List().FindByName("second"), nullptr);
    EXPECT_EQ(List().FindByName(name), nullptr);
}

// A blob's extension text is not always valid UTF-16 (a lone surrogate in a damaged or
// old blob): its lines are still split, and the profile writes back the blob it read.
TEST_F(Profiles, ExtensionLinesSplitAroundLoneSurrogates) {
    // Outside the list, so that a copy may take the same folder.
    TProfile profile(List(), QStringLiteral("Odd"), 5, Target());
    const QString odd = QString(QChar(0xDB89)) + QStringLiteral("x");
    profile.SetExtensions(QStringLiteral(".c\r\n") + odd + QStringLiteral("\n\r.h"));
    EXPECT_EQ(profile.Extensions(), QStringList({".c", odd, ".h"}));

    const QByteArray blob = profile.WriteProfileBlob();
    const std::unique_ptr<TProfile> copy = TProfile::FromBlob(List(), blob);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->Extensions(), QStringList({".c", odd, ".h"}));
    EXPECT_EQ(copy->WriteProfileBlob(), blob);
}

TEST_F(Profiles, NewProfileNamingAndTheHomeFolder) {
    TProfile* first = List().NewProfile();
    EXPECT_EQ(first->Name(), "New Profile");
    EXPECT_EQ(first->Target(), WindowsFolder());
    TProfile* second = List().NewProfile();
    EXPECT_EQ(second->Name(), "New Profile_1");
    EXPECT_EQ(second->Target(), "");  // the home folder is the first one's
    EXPECT_FALSE(second->TestBit(kBitReady));
    EXPECT_EQ(List().NewProfile()->Name(), "New Profile_2");
    EXPECT_EQ(second->Number(), first->Number() + 1);

    first->SetName("Renamed");
    TProfile* fourth = List().NewProfile();
    EXPECT_EQ(fourth->Name(), "New Profile");  // only New Profile_1 and _2 are taken
    EXPECT_FALSE(List().IsNameFree(nullptr, "new profile_1"));
    EXPECT_TRUE(List().IsNameFree(second, "New Profile_1"));
}

TEST_F(Profiles, ReadinessAndAutostart) {
    const QString target = Target();
    TProfile* profile = List().NewProfile();
    profile->SetTarget(target);
    EXPECT_FALSE(profile->TestBit(kBitReady));  // no extension yet
    try {
        profile->SetBit(kBitAutostart, true);
        ADD_FAILURE();
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(),
                  "Supply a target directory & at least one file type to monitor!");
    }
    EXPECT_FALSE(profile->TestBit(kBitAutostart));
    profile->SetExtensions(".txt");
    profile->RecheckReady();
    EXPECT_TRUE(profile->TestBit(kBitReady));
    profile->SetBit(kBitAutostart, true);
    EXPECT_TRUE(profile->TestBit(kBitAutostart));

    // A folder another profile has leaves the target and makes the profile not ready.
    TProfile* other = ReadyProfile(Target("other"));
    other->SetTarget(target);
    EXPECT_EQ(other->Target(), m_dir.Sub("other") + "/");
    EXPECT_FALSE(other->TestBit(kBitReady));
    // The program's own folders are kept as a target but never autostart.
    profile->SetTarget(m_host->DataFolder());
    EXPECT_FALSE(profile->TestBit(kBitAutostart));
    // A folder too long for the blob's length byte is refused.
    const QString deep =
        m_dir.MakeDir(QString(120, 'a') + "/" + QString(120, 'b') + "/" + QString(40, 'c')) + "/";
    ASSERT_GT(deep.size(), 255);
    profile->SetTarget(deep);
    EXPECT_EQ(profile->Target(), m_host->DataFolder());
    EXPECT_FALSE(profile->TestBit(kBitReady));
}

TEST_F(Profiles, AutostartWithoutTheBackupsDatabaseIsClearedAtTheNextLoad) {
    TProfile* profile = ReadyProfile(Target());
    profile->SetBit(kBitAutostart, true);
    const int number = profile->Number();
    List().SaveAll(false);
    m_host->StopProfiles();
    m_host->BackupStore()->Close(false);
    m_host->StartProfiles(false);
    EXPECT_FALSE(List().FindById(number)->TestBit(kBitAutostart));
}

TEST_F(Profiles, SubfoldersAndIgnoreList) {
    const QString target = Target();
    m_dir.MakeDir("target/b");
    m_dir.MakeDir("target/A");
    m_dir.MakeDir("target/.hidden");
    m_dir.MakeDir("target/A/inner");
    m_dir.Write("target/file", "x");
    ASSERT_EQ(symlink(qPrintable(m_dir.Sub("target/b")), qPrintable(m_dir.Sub("target/link"))), 0);
    TProfile* profile = ReadyProfile(target);
    EXPECT_EQ(profile->ListSubfolders(), QStringList({"A", "b"}));
    profile->SetIgnoreList(QStringLiteral("b\uE000gone\uE000A"));
    EXPECT_EQ(profile->IgnoreList(), QStringList({"b", "A"}));
}

TEST_F(Profiles, CountersAreStoredAndRecoveredFromTheStore) {
    int versionId = 0;
    EXPECT_EQ(List().TakePathIds(versionId), 1);
    EXPECT_EQ(versionId, 1);
    EXPECT_TRUE(m_host->TakeFlag(kFlagProfilesIdle));
    EXPECT_EQ(List().TakeVersionId(), 2);
    EXPECT_TRUE(m_host->IsFlagSet(kFlagProfilesIdle));
    TProfile* profile = List().NewProfile();
    profile->SetName("Only");
    m_host->ProcessBackupIdle();
    EXPECT_FALSE(m_host->IsFlagSet(kFlagProfilesIdle));
    const TBarList state(DecodeSettings(*m_host->LoadToolState("Profiles")));
    ASSERT_EQ(state.Count(), 4);
    EXPECT_EQ(state[0], "3");
    EXPECT_EQ(state[1], "2");
    EXPECT_EQ(state[2], "2");
    EXPECT_EQ(state[3], "New Profile\r\n");  // names as they were at the last full save

    // Versions stored, then the counters lost (a crash before they were saved).
    const QByteArray blob = EncodeVersion("data", false, TBlobKeys::FromHash(1));
    int pathId = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_host->BackupStore()->StoreVersion(
            List(), 9, 4, blob, QStringLiteral("/c/f%1.txt").arg(i), pathId));
    }
    List().SaveAll(false);
    m_host->StopProfiles();
    m_host->SaveToolState("Profiles", EncodeSettings("1|1|1|Only\r\n|"));
    m_host->StartProfiles(false);
    EXPECT_EQ(List().NextPathId(), 5);      // paths 2, 3, 4 were stored
    EXPECT_EQ(List().NextVersionId(), 6);   // versions 3, 4, 5
    EXPECT_EQ(List().NextProfileId(), 10);  // versions of profile 9 exist
    ASSERT_TRUE(m_host->BackupStore()->StoreVersion(List(), 9, 4, blob, "/c/new.txt", pathId));
    EXPECT_EQ(pathId, 5);
}

TEST(ProfileRules, NamesTheStoredStateCanHold) {
    struct Case {
        QString name;
        QString refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"abc", "Name too short"},
        {"abcd", ""},
        {"Docs_2024", ""},
        {QString::fromUtf8("B\xC3\xBC"
                           "cher"),
         ""},  // letters of any script
        {QString(24, 'x'), ""},
        {QString(25, 'x'), "Name too long (at most 24 characters)"},
        {"My Docs", "Only letters, digits and _ are allowed in a profile name"},
        {"my-docs", "Only letters, digits and _ are allowed in a profile name"},
        {"docs|2", "Only letters, digits and _ are allowed in a profile name"},
        {"two\nlines", "Only letters, digits and _ are allowed in a profile name"},
    };
    for (const Case& c : cases) {
        QString refusal;
        try {
            TProfiles::CheckName(c.name);
        } catch (const EQuiva& error) {
            refusal = error.Message();
        }
        EXPECT_EQ(refusal, c.refusal) << qPrintable(c.name);
    }
}

TEST_F(Profiles, TenProfilesAndBlobsThatFitTheStore) {
    for (int i = 0; i < TProfiles::kMostProfiles; ++i) {
        EXPECT_NO_THROW(List().CheckRoomForProfile());
        List().NewProfile();
    }
    EXPECT_THROW(List().CheckRoomForProfile(), EQuiva);

    TProfile* profile = List().Profiles().first();
    EXPECT_NO_THROW(profile->CheckBlobFits());
    QStringList many;
    for (int i = 0; i < 1200; ++i) {
        many << QStringLiteral(".e%1").arg(i);
    }
    profile->SetExtensions(many.join("\r\n"));
    try {
        profile->CheckBlobFits();
        ADD_FAILURE() << "a blob of " << profile->WriteProfileBlob().size() << " bytes passed";
    } catch (const EQuiva& error) {
        EXPECT_EQ(error.Message(),
                  "The profile's settings are too long to be stored (at most 10 KiB)");
    }
}

TEST_F(Profiles, AStoredListThatCannotBeReadIsNeverWrittenOver) {
    ReadyProfile(Target())->SetName("Kept");
    List().SaveAll(false);
    m_host->StopProfiles();
    const QByteArray good = *m_host->LoadToolState("Profiles");

    // Damaged (one character changed) and too large for its read budget.
    QByteArray damaged = good;
    damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
    for (const QByteArray& stored : {damaged, QByteArray(11 * 1024, 'x')}) {
        m_host->SaveToolState("Profiles", stored);
        m_host->statuses.clear();
        m_host->StartProfiles(false);
        EXPECT_TRUE(List().StateUnreadable());
        EXPECT_TRUE(m_host->HasError(
            "The stored list of backup profiles could not be read; it is kept unchanged"));
        EXPECT_EQ(List().Count(), 0);
        List().NewProfile();
        List().SaveAll(false);
        m_host->StopProfiles();
        m_host->SaveToolState("Probe", "x");  // the database itself still takes writes
        ASSERT_TRUE(m_host->HasToolState("Profiles"));
        // Compared through a raw read: the budget of LoadToolState is too small for one.
        TSQLTables raw(m_dir.Sub("prog/qvde.d"), 100, 1, false);
        const auto row =
            raw.Query("SELECT appdata FROM seridata WHERE appname = 'Profiles'", 64, 1);
        EXPECT_EQ(row->GetBlob(0).value_or(QByteArray()), stored);
    }

    // Put back, the profile is there again.
    m_host->SaveToolState("Profiles", good);
    m_host->StartProfiles(false);
    EXPECT_FALSE(List().StateUnreadable());
    ASSERT_NE(List().FindByName("Kept"), nullptr);
}

TEST_F(Profiles, DeleteProfileRemovesItsRowAndVersions) {
    TProfile* profile = ReadyProfile(Target());
    profile->SetName("Gone \"quoted\"");
    TProfile* other = ReadyProfile(Target("other"));
    List().SaveAll(false);
    const QByteArray blob = EncodeVersion("data", false, TBlobKeys::FromHash(1));
    int pathId = 0;
    ASSERT_TRUE(m_host->BackupStore()->StoreVersion(List(), profile->Number(), 4, blob, "/d/a.txt",
                                                    pathId));
    ASSERT_TRUE(
        m_host->BackupStore()->StoreVersion(List(), other->Number(), 4, blob, "/d/a.txt", pathId));
    EXPECT_EQ(List().DeleteProfile(profile), 1);
    EXPECT_FALSE(m_host->LoadProfileBlob("Gone \"quoted\""));
    QList<TVersionRow> rows;
    EXPECT_TRUE(m_host->BackupStore()->SearchVersions(other->Number(), 0, "%", 1000000, rows));
    EXPECT_EQ(rows.size(), 1);
    // The shared path row stays.
    EXPECT_TRUE(m_host->BackupStore()->SearchVersions(1, 0, "a.txt", 1000000, rows));
    Reload();
    EXPECT_EQ(List().Count(), 1);
    EXPECT_EQ(List().FindById(profile == nullptr ? 0 : 2), List().Profiles().value(0));
}

TEST_F(Profiles, ADeleteWhoseVersionsCannotGoKeepsTheProfileWithAllOfThem) {
    TProfile* profile = ReadyProfile(Target());
    profile->SetName("Stays");
    List().SaveAll(false);
    const QByteArray blob = EncodeVersion("data", false, TBlobKeys::FromHash(1));
    int pathId = 0;
    for (const char* name : {"/d/a.txt", "/d/b.txt"}) {
        ASSERT_TRUE(
            m_host->BackupStore()->StoreVersion(List(), profile->Number(), 4, blob, name, pathId));
    }
    // The store refuses every deletion, as a full disk or a kill in the middle would end it.
    {
        TSQLTables raw(m_host->BackupStore()->Path(), 1000, 1, false);
        raw.Exec(
            "CREATE TRIGGER NoDelete BEFORE DELETE ON Data BEGIN SELECT RAISE(ABORT, "
            "'refused'); END");
    }
    EXPECT_EQ(List().DeleteProfile(profile), 1);
    EXPECT_TRUE(m_host->LoadProfileBlob("Stays"));
    Reload();
    ASSERT_EQ(List().Count(), 1);
    QList<TVersionRow> rows;
    EXPECT_TRUE(m_host->BackupStore()->SearchVersions(List().Profiles()[0]->Number(), 0, "%",
                                                      1000000, rows));
    EXPECT_EQ(rows.size(), 2);
}

}  // namespace
