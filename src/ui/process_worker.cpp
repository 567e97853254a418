#include "ui/process_worker.h"

#include <QEventLoop>
#include <QMetaObject>

#include "app/format.h"

namespace norvale {

ProcessWorker::ProcessWorker(QObject* parent) : QObject(parent) {}

ProcessWorker::~ProcessWorker() {
    Join();
}

void ProcessWorker::Start(std::function<void()> work) {
    if (Started()) return;
    thread_ = std::thread([this, work = std::move(work)] {
        work();
        // Queued like every report, so finished() comes after the work's last report.
        Post([this] {
            done_ = true;
            emit finished();
        });
    });
}

void ProcessWorker::Join() {
    if (thread_.joinable()) thread_.join();
}

void ProcessWorker::WaitUntilDone() {
    // done_ only changes through a delivered report, so it cannot change between the test and
    // the loop.
    if (thread_.joinable() && !done_) {
        QEventLoop loop;
        connect(this, &ProcessWorker::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    Join();
}

void ProcessWorker::Post(std::function<void()> update) {
    // With this object as the context, a report still queued when the object is deleted is
    // dropped instead of reaching a window that no longer exists.
    QMetaObject::invokeMethod(
        this, [this, update = std::move(update)]() mutable { Deliver(std::move(update)); },
        Qt::QueuedConnection);
}

void ProcessWorker::Deliver(std::function<void()> update) {
    if (held_ > 0) {
        deferred_.push_back(std::move(update));
        return;
    }
    update();
}

void ProcessWorker::HoldDisplay() {
    ++held_;
}

void ProcessWorker::ReleaseDisplay() {
    if (held_ == 0 || --held_ > 0) return;
    // An update may open a question of its own and hold the display again; what is left then
    // waits for that question.
    while (!deferred_.empty() && held_ == 0) {
        std::function<void()> update = std::move(deferred_.front());
        deferred_.erase(deferred_.begin());
        update();
    }
}

namespace {

void AppendValue(QString& out, const TextArg& value) {
    if (const auto* n = std::get_if<int64_t>(&value)) {
        out += QString::number(static_cast<qlonglong>(*n));
    } else if (const auto* u = std::get_if<uint64_t>(&value)) {
        out += QString::number(static_cast<qulonglong>(*u));
    } else if (const auto* s = std::get_if<std::string>(&value)) {
        out += QString::fromUtf8(s->data(), qsizetype(s->size()));
    } else if (const auto* c = std::get_if<char32_t>(&value)) {
        const char32_t ch = *c;
        out += QString::fromUcs4(&ch, 1);
    }
}

// Length of a length modifier at `p` ("l", "ll", "h", "hh", "I64", "I32"), or 0.
size_t ModifierLength(const std::string& f, size_t p) {
    if (f.compare(p, 3, "I64") == 0 || f.compare(p, 3, "I32") == 0) return 3;
    if (f.compare(p, 2, "ll") == 0 || f.compare(p, 2, "hh") == 0) return 2;
    if (p < f.size() && (f[p] == 'l' || f[p] == 'h')) return 1;
    return 0;
}

}  // namespace

QString FillFormatText(const std::string& format, std::initializer_list<TextArg> args) {
    QString out;
    auto next = args.begin();
    size_t literalStart = 0;
    auto flushLiteral = [&](size_t end) {
        out += QString::fromUtf8(format.data() + literalStart, qsizetype(end - literalStart));
    };
    size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            flushLiteral(i);
            out += QLatin1Char('%');
            i += 2;
            literalStart = i;
            continue;
        }
        const size_t mod = ModifierLength(format, i + 1);
        const size_t letter = i + 1 + mod;
        const bool known = letter < format.size() &&
                           std::string_view("diucs").find(format[letter]) != std::string::npos;
        if (!known || next == args.end()) {
            ++i;  // kept as written
            continue;
        }
        flushLiteral(i);
        AppendValue(out, *next++);
        i = letter + 1;
        literalStart = i;
    }
    flushLiteral(format.size());
    return out;
}

QString LabelAndValue(const std::string& label, const QString& value) {
    return QString::fromUtf8(label.data(), qsizetype(label.size())) + QLatin1Char(' ') + value;
}

QString TimeLeftLine(TextSection& messages, const char* estimatingKey,
                     const char* remainingKey, int secondsLeft) {
    if (secondsLeft < 0) {
        const std::string text = messages.Text(estimatingKey);
        return QString::fromUtf8(text.data(), qsizetype(text.size()));
    }
    return LabelAndValue(messages.Text(remainingKey), QString::fromStdString(FormatDuration(secondsLeft)));
}

}  // namespace norvale
