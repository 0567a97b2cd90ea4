#include "tools/fill/filler.h"
#include "storage/tool_state.h"

#include "base/bar_list.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/random.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"

#include <algorithm>

namespace {

bool IsHexDigit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A hexadecimal number of 1 to 8 digits, or none.
std::optional<quint32> ReadHex(const QString& text) {
    if (text.isEmpty() || text.size() > 8 || !std::all_of(text.begin(), text.end(), IsHexDigit)) {
        return std::nullopt;
    }
    return text.toUInt(nullptr, 16);
}

// xoshiro256**: a fast generator of good statistical quality, not a cryptographic one.
class TFastRandom {
public:
    explicit TFastRandom(quint64 seed) {
        for (quint64& word : m_state) {
            // splitmix64 spreads one seed over the four state words.
            seed += 0x9E3779B97F4A7C15ull;
            quint64 z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    quint64 Next() {
        const quint64 result = Rotate(m_state[1] * 5, 7) * 9;
        const quint64 t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = Rotate(m_state[3], 45);
        return result;
    }

    // A number uniformly drawn from 0 .. range - 1 (range 1..256), without bias:
    // multiply-and-shift with rejection of the few values that would favour low results.
    quint32 Below(quint32 range) {
        const quint32 threshold = static_cast<quint32>(-range) % range;
        for (;;) {
            const quint64 product = static_cast<quint64>(Next32()) * range;
            if (static_cast<quint32>(product) >= threshold) {
                return static_cast<quint32>(product >> 32);
            }
        }
    }

private:
    static quint64 Rotate(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }

    quint32 Next32() {
        if (m_halfReady) {
            m_halfReady = false;
            return static_cast<quint32>(m_half >> 32);
        }
        m_half = Next();
        m_halfReady = true;
        return static_cast<quint32>(m_half);
    }

    quint64 m_state[4];
    quint64 m_half = 0;
    bool m_halfReady = false;
};

quint64 SeedFromProgramGenerator() {
    const quint64 high = RandomBelow(0xFFFFFFFFu);
    const quint64 low = RandomBelow(0xFFFFFFFFu);
    return (high << 32) | low;
}

// Reports progress after each chunk: written * step, where step is 100 / size.
class TFillProgress {
public:
    TFillProgress(qint64 size, const TPercentProgress& progress)
        : m_step(100.0 / static_cast<double>(size)), m_progress(progress) {}

    void Add(qint64 bytes) {
        m_written += bytes;
        const int percent = RoundHalfEven(static_cast<double>(m_written) * m_step);
        if (m_progress && percent != m_last) {
            m_progress(percent);
        }
        m_last = percent;
    }

private:
    double m_step;
    const TPercentProgress& m_progress;
    qint64 m_written = 0;
    int m_last = -1;
};

}  // namespace

QByteArray ParseSequence(const QString& text) {
    if (text.size() % 2 != 0) {
        RaiseError(QString::fromUtf8(kSequenceOddMessage));
    }
    if (text.size() > kSequenceMaxChars) {
        RaiseError(QString::fromUtf8(kSequenceLongMessage));
    }
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const std::optional<quint32> value = ReadHex(text.mid(i, 2));
        if (!value) {
            RaiseError(QString::fromUtf8(kSequenceHexMessage));
        }
        bytes.append(static_cast<char>(*value));
    }
    return bytes;
}

TByteRange ParseRange(const QString& from, const QString& to) {
    const std::optional<quint32> low = ReadHex(from);
    if (!low) {
        RaiseError(QString::fromUtf8(kRangeHexMessage).arg(from));
    }
    const std::optional<quint32> high = ReadHex(to);
    if (!high) {
        RaiseError(QString::fromUtf8(kRangeHexMessage).arg(to));
    }
    const TByteRange range{static_cast<quint8>(*low), static_cast<quint8>(*high)};
    if (range.to < range.from) {
        RaiseError(QString::fromUtf8(kRangeInvalidMessage));
    }
    return range;
}

TFillPlan CheckFill(const TFillRequest& request) {
    if (request.destination.isEmpty()) {
        RaiseError(QString::fromUtf8(kFillNoDestMessage));
    }
    if (!request.overwrite && ExistsAsNonFolder(request.destination)) {
        RaiseError(QString::fromUtf8(kFillDestExistsMessage));
    }
    if (request.size <= 0) {
        RaiseError(QString::fromUtf8(kFillZeroSizeMessage));
    }
    TFillPlan plan;
    plan.destination = request.destination;
    plan.size = request.size;
    plan.overwrite = request.overwrite;
    plan.pattern = request.pattern;
    if (request.pattern == kPatternSequence) {
        plan.sequence = ParseSequence(request.sequence);
        if (plan.sequence.isEmpty()) {
            RaiseError(QString::fromUtf8(kSequenceEmptyMessage));
        }
    } else if (request.pattern == kPatternRange) {
        plan.range = ParseRange(request.from, request.to);
    } else {
        plan.pattern = kPatternAllBytes;
    }
    return plan;
}

qint64 Fill(const TFillPlan& plan, const TPercentProgress& progress) {
    TReplacementFile output(plan.destination);
    if (!output.Open()) {
        RaiseError(QString::fromUtf8(kFillCannotWriteMessage).arg(PrintableName(plan.destination)));
    }
    output.Reserve(plan.pattern == kPatternSequence || plan.pattern == kPatternRange ? plan.size
                                                                                     : 256);
    const auto unable = [&](const QString& reason) {
        if (reason.isEmpty()) {
            RaiseError(
                QString::fromUtf8(kFillUnableToWriteMessage).arg(PrintableName(plan.destination)));
        }
        RaiseError(QString::fromUtf8(kFillUnableToWriteReasonMessage)
                       .arg(PrintableName(plan.destination), reason));
    };
    const auto put = [&](const char* data, qint64 length) {
        if (const std::optional<TCopyFault> fault = WriteAll(output.Handle(), data, length)) {
            unable(fault->text);
        }
    };
    qint64 written = 0;
    if (plan.pattern == kPatternSequence) {
        if (plan.sequence.isEmpty()) {
            RaiseError(QString::fromUtf8(kSequenceEmptyMessage));
        }
        if (plan.size < plan.sequence.size()) {
            RaiseError(QString::fromUtf8(kFillShorterThanSequenceMessage));
        }
        // Whole sequences only, so that every chunk starts with the sequence's first byte.
        QByteArray block;
        while (block.size() < kFillChunk) {
            block += plan.sequence;
        }
        TFillProgress report(plan.size, progress);
        while (written < plan.size) {
            const qint64 step = std::min<qint64>(block.size(), plan.size - written);
            put(block.constData(), step);
            written += step;
            report.Add(step);
        }
    } else if (plan.pattern == kPatternRange) {
        TFastRandom random(SeedFromProgramGenerator());
        const quint32 span = plan.range.to - plan.range.from;
        QByteArray chunk(kFillChunk, static_cast<char>(plan.range.from));
        TFillProgress report(plan.size, progress);
        while (written < plan.size) {
            const qint64 step = std::min<qint64>(chunk.size(), plan.size - written);
            if (span > 0) {
                char* bytes = chunk.data();
                for (qint64 i = 0; i < step; ++i) {
                    bytes[i] = static_cast<char>(plan.range.from + random.Below(span));
                }
            }
            put(chunk.constData(), step);
            written += step;
            report.Add(step);
        }
    } else {
        char all[256];
        for (int i = 0; i < 256; ++i) {
            all[i] = static_cast<char>(i);
        }
        put(all, sizeof all);
        written = sizeof all;
    }
    if (!output.Commit()) {
        unable(output.ErrorText());
    }
    return written;
}

qint64 Fill(const TFillRequest& request, const TPercentProgress& progress) {
    return Fill(CheckFill(request), progress);
}

QByteArray FillSettingsText(const TFillSettings& settings) {
    return TBarList::Join({
        EncodeNativeName(settings.destination),
        settings.sequence.toUtf8(),
        settings.from.toUtf8(),
        settings.to.toUtf8(),
        settings.overwrite ? "1" : "0",
        QByteArray::number(settings.parts.bytes),
        QByteArray::number(settings.parts.kilobytes),
        QByteArray::number(settings.parts.megabytes),
        QByteArray::number(settings.quickPick),
        QByteArray::number(settings.pattern),
    });
}

std::optional<TFillSettings> ParseFillSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kFillSettingsFields) {
        return std::nullopt;
    }
    TFillSettings settings;
    settings.overwrite = fields.Flag(4);
    const QString destination = DecodeNativeName(fields[0]);
    if (const QString folder = FolderPart(destination); IsFolder(folder)) {
        settings.destFolder = folder;
        settings.destination = destination;
    }
    const QString sequence = fields.Text(1).toUpper();
    try {
        if (!ParseSequence(sequence).isEmpty()) {
            settings.sequence = sequence;
        }
    } catch (const EQuiva&) {
        // a damaged sequence leaves the default
    }
    const QString from = fields.Text(2).toUpper();
    const QString to = fields.Text(3).toUpper();
    try {
        ParseRange(from, to);
        settings.from = from;
        settings.to = to;
    } catch (const EQuiva&) {
        // a damaged range leaves the defaults
    }
    settings.parts = ClampedParts(fields.Int(5, 0), fields.Int(6, 0), fields.Int(7, 0));
    settings.quickPick = BoundIndex(fields.Int(8, 0), static_cast<int>(kFillQuickPicks.size()) - 1);
    // A pattern must always be chosen, so a negative index also gives the first.
    settings.pattern =
        std::max(0, BoundIndex(fields.Int(9, 0), static_cast<int>(kFillPatternNames.size()) - 1));
    return settings;
}

void SaveFillSettings(TAppStores& stores, const TFillSettings& settings) {
    SaveToolText(stores, kFillSettingsKey, FillSettingsText(settings));
}

std::optional<TFillSettings> LoadFillSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kFillSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseFillSettings(*text);
}
