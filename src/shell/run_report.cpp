#include "shell/run_report.h"

#include "engine/progress.h"
#include "runtime/dates.h"
#include "runtime/text.h"
#include "shell/build_stamp.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QString>
#include <QSysInfo>
#include <QTextDocument>
#include <QThread>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace mirl {
namespace {

QString Html(const std::string& text) {
    return QString::fromUtf8(text).toHtmlEscaped();
}

// A size in the status field's words, and to the byte.
std::string Bytes(int64_t bytes) {
    return SizeText(bytes) + " (" + IntToText(bytes) + " Bytes)";
}

class Report {
public:
    void Heading(const char* text) { html_ += "<h3>" + Html(text) + "</h3>"; }
    void Row(const std::string& label, const std::string& value) {
        rows_ += "<tr><td>" + Html(label) + "</td><td>" + Html(value) + "</td></tr>";
    }
    void EndRows() {
        html_ += "<table cellspacing=\"0\" cellpadding=\"2\">" + rows_ + "</table>";
        rows_.clear();
    }
    void Paragraph(const std::string& text) { html_ += "<p>" + Html(text) + "</p>"; }
    // Lines as they stand, one under the other.
    void Lines(const std::vector<std::string>& lines) {
        html_ += "<p style=\"font-family: monospace; font-size: 7pt\">";
        for (const std::string& line : lines) {
            html_ += Html(line) + "<br/>";
        }
        html_ += "</p>";
    }
    std::string Text() const { return ("<html><body><h2>Mirl-Bericht</h2>" + html_ + "</body></html>").toStdString(); }

private:
    QString html_;
    QString rows_;
};

// The status field's lines, without their CR LF.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        const size_t end = text.find("\r\n", from);
        lines.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
        from = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

std::string Duration(int32_t seconds) {
    const int32_t h = seconds / 3600;
    const int32_t m = seconds / 60 % 60;
    return IntToText(h) + " h " + IntToText(m) + " m " + IntToText(seconds % 60) + " s";
}

void Storage(Report& report, const RunRecord& record) {
    report.Heading("Speicher unter dem Laufwerk");
    if (record.storage.layers.empty()) {
        report.Paragraph("Kein Blockgerät darunter bekannt.");
    }
    for (const StorageLayer& layer : record.storage.layers) {
        report.Row(LayerKindName(layer.kind), layer.name + (layer.detail.empty() ? "" : ": " + layer.detail));
    }
    if (!record.storage.model.empty()) {
        report.Row("Modell", record.storage.model);
    }
    if (!record.storage.serial.empty()) {
        report.Row("Seriennummer", record.storage.serial);
    }
    if (record.storage.bytes > 0) {
        report.Row("Größe des Datenträgers", Bytes(record.storage.bytes));
    }
    report.Row("Flash-Speicher", record.storage.flash ? "ja (dreht sich nicht)" : "nein");
    report.Row("Wechseldatenträger", record.storage.removable ? "ja" : "nein");
    report.Row("Nimmt Freigaben (TRIM)", record.storage.discard ? "ja" : "nein");
    if (record.snapshots >= 0) {
        report.Row("Schnappschüsse", IntToText(record.snapshots));
    }
    report.EndRows();
    if (record.storage.encrypted) {
        report.Paragraph(
            "Das Laufwerk liegt in einer Verschlüsselung (dm-crypt/LUKS): der Datenträger darunter enthält "
            "nur verschlüsselte Daten.");
    }
}

void Written(Report& report, const RunRecord& record) {
    report.Heading("Geschrieben");
    for (const RunRecord::FillFileSize& file : record.fillFiles) {
        report.Row(file.name, Bytes(file.bytes));
    }
    report.Row("Zusammen", Bytes(record.bytesWritten));
    const int32_t seconds = record.endTime - record.startTime;
    if (seconds > 0) {
        report.Row("Mittlere Geschwindigkeit",
                   FloatToText(static_cast<float>(static_cast<double>(record.bytesWritten) / 1048576.0 / seconds), 1) +
                       " MB/s");
    }
    report.EndRows();

    report.Heading("Nachgelesen");
    if (!record.readBack) {
        report.Paragraph("Die Fülldateien wurden nicht nachgelesen.");
        return;
    }
    report.Row("Umfang", record.readBackEverything ? "alles" : "Stichproben");
    report.Row("Geprüft", Bytes(record.checkedBytes));
    report.Row("Ergebnis", record.checkFailed ? "Prüffehler: der Datenträger gibt andere Daten zurück, als "
                                                "geschrieben wurden"
                                              : "keine Abweichung");
    report.EndRows();
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::vector<const char*>& parts) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        for (const char* part : parts) {
            if (line.find(part) != std::string::npos) {
                found.push_back(line);
                break;
            }
        }
    }
    return found;
}

void OutOfReach(Report& report, const RunRecord& record) {
    report.Heading("Namen und kleine Dateien");
    const std::vector<std::string> pass =
        LinesWith(record.logLines, {"Namen", "Journal", "Reserve", "Letzte freie Blöcke"});
    if (pass.empty()) {
        report.Paragraph("Der Lauf kam nicht bis dahin.");
    } else {
        report.Lines(pass);
    }
    report.Heading("Außer Reichweite");
    const std::vector<std::string> unreached = LinesWith(
        record.logLines, {"Nur als root", "Nicht überschreibbar", "Flash-Speicher", "Schnappschüsse", "nicht alle"});
    if (!unreached.empty()) {
        report.Lines(unreached);
    }
    report.Paragraph("Kein Überschreiben des freien Platzes erreicht: Blöcke, die ein Flash-Speicher (SSD, Stick, "
                     "Karte) intern ausgetauscht hat; Schnappschüsse, die gelöschte Dateien festhalten; Kopien auf "
                     "anderen Datenträgern, in Sicherungen oder in der Cloud.");
}

} // namespace

std::string RunReportHtml(const RunRecord& record) {
    Report report;
    report.Row("Programm", "Mirl, erstellt " + DateToText("%dd.%mm.%yyyy %hh:%ii", BuildDate()));
    report.Row("Computer", QSysInfo::machineHostName().toStdString());
    report.Row("Datum", DateToText("%dd.%mm.%yyyy", record.startTime));
    report.Row("Beginn", DateToText("%hh:%ii:%ss", record.startTime));
    report.Row("Ende", DateToText("%hh:%ii:%ss", record.endTime));
    report.Row("Dauer", Duration(record.endTime - record.startTime));
    report.EndRows();
    report.Heading("Laufwerk");
    report.Row("Ordner", record.driveText);
    report.Row("Dateisystem", record.filesystem.empty() ? "unbekannt" : record.filesystem);
    report.Row("Größe", Bytes(record.volumeBytes));
    report.Row("Frei zu Beginn", Bytes(record.freeAtStart));
    report.EndRows();
    Storage(report, record);
    Written(report, record);
    OutOfReach(report, record);
    report.Heading("Endstand");
    report.Lines(SplitLines(record.endStatus));
    report.Heading("Protokoll des Laufs");
    report.Lines(record.logLines);
    return report.Text();
}

bool WriteRunReportPdf(const RunRecord& record, const std::string& path) {
    // Laid out and written on a thread of Qt's own (its text layout wants one), while the window
    // goes on.
    const std::string part = path + ".part";
    std::unique_ptr<QThread> writer(QThread::create([&] {
        QPdfWriter pdf(QString::fromStdString(part));
        pdf.setTitle("Mirl-Bericht");
        pdf.setCreator("Mirl");
        pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(20, 20, 20, 20)));
        QTextDocument document;
        // In points: the program's own font is set in pixels for the screen, which the PDF's fine
        // resolution would shrink to nothing.
        QFont font = document.defaultFont();
        font.setPointSize(9);
        document.setDefaultFont(font);
        document.setHtml(QString::fromStdString(RunReportHtml(record)));
        document.print(&pdf);
    }));
    writer->start();
    while (!writer->wait(QDeadlineTimer(50))) {
        QCoreApplication::processEvents();
    }
    struct stat written {};
    if (stat(part.c_str(), &written) != 0 || written.st_size == 0 || std::rename(part.c_str(), path.c_str()) != 0) {
        std::remove(part.c_str());
        return false;
    }
    return true;
}

} // namespace mirl
