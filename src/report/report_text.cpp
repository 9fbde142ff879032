// Wording the journals' report: one block per question, in columns, Russian headings around the
// journal's own words.
#include "report/report_text.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace qd {
namespace {

// Text from a file as it may go to the console: no control character that moves the cursor.
std::string clean(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

// Characters, not bytes, of UTF-8 text.
size_t width(std::string_view s) {
    return static_cast<size_t>(std::count_if(
        s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string pad(std::string s, size_t w) {
    const size_t n = width(s);
    if (n < w) s.append(w - n, ' ');
    return s;
}

std::string pad_left(const std::string& s, size_t w) {
    const size_t n = width(s);
    return n < w ? std::string(w - n, ' ') + s : s;
}

std::string num(uint64_t n) { return std::to_string(n); }

std::string place(const JournalTally& t, size_t file, uint64_t first, uint64_t last) {
    std::string out = clean(t.files()[file].name);
    out += ':';
    out += num(first);
    if (last > first) {
        out += '-';
        out += num(last);
    }
    return out;
}

std::string file_text(const JournalFileInfo& f) {
    switch (f.state) {
        case FileState::read: return "строк " + num(f.lines) + ", повреждённых " + num(f.damaged);
        case FileState::cannot_open: return "не открывается: " + f.reason;
        case FileState::cannot_read:
            return "прочитан не до конца: " + f.reason + " (строки до этого места учтены)";
        case FileState::empty: return "пуст: это не журнал обновлений";
        case FileState::not_journal:
            return "не журнал обновлений: первая строка не заголовок журнала";
    }
    return "";
}

std::string damage_text(const DamagedLine& d, size_t columns) {
    switch (d.damage) {
        case Damage::cut: return "оборвана: нет конца строки";
        case Damage::field_count: return "полей " + num(d.fields) + " вместо " + num(columns);
        case Damage::bad_quotes: return "кавычки не по правилам CSV";
        case Damage::open_quote: return "кавычка не закрыта в этой строке";
        case Damage::too_long: return "длиннее " + num(CsvSplitter::kMaxRecord) + " байт";
        case Damage::bad_time: return "время не читается: \"" + clean(d.text) + "\"";
        case Damage::no_serial: return "пустой серийный номер (serial)";
        case Damage::no_result: return "пустой результат (result)";
    }
    return "";
}

void say_files(Console& con, const JournalTally& t) {
    say_line(con, "Отчёт по журналам обновлений");
    say_line(con, "Файлы: " + num(t.files().size()));
    for (const JournalFileInfo& f : t.files()) {
        say_line(con, "  " + clean(f.name) + ": " + file_text(f));
    }
    say_separator(con);
}

void say_totals(Console& con, const JournalTally& t) {
    say_line(con, "Итоги по результатам: строк " + num(t.lines()));
    const auto results = t.results();
    size_t word = 0;
    for (const auto& [w, n] : results) word = std::max(word, width(clean(w)));
    const size_t count = num(t.lines()).size();
    for (const auto& [w, n] : results) {
        say_line(con, "  " + pad(clean(w), word) + "  " + pad_left(num(n), count));
    }
    const auto days = t.days();
    if (days.empty()) say_line(con, "По дням: нет строк");
    if (!days.empty()) say_line(con, "По дням:");
    for (const DayTotals& d : days) {
        std::string line = "  " + clean(d.day) + ": строк " + num(d.lines) + ";";
        for (size_t i = 0; i < d.results.size(); ++i) {
            line +=
                (i == 0 ? " " : ", ") + clean(d.results[i].first) + " " + num(d.results[i].second);
        }
        say_line(con, line);
    }
    say_separator(con);
}

void say_to_redo(Console& con, const JournalTally& t) {
    const auto redo = t.to_redo();
    say_line(con, "Платы: всего " + num(t.boards()) + ", готовы " + num(t.boards() - redo.size()) +
                      ", переделать " + num(redo.size()));
    if (!redo.empty()) {
        say_line(con, "Переделать (последняя строка платы не updated, jumped или ignored):");
        const std::string head[4] = {"Сер. номер", "Время", "Результат", "Файл:строка"};
        size_t w[3] = {width(head[0]), width(head[1]), width(head[2])};
        for (const BoardLine& b : redo) {
            w[0] = std::max(w[0], width(clean(b.serial)));
            w[1] = std::max(w[1], width(b.time));
            w[2] = std::max(w[2], width(clean(b.result)));
        }
        say_line(con, "  " + pad(head[0], w[0]) + "  " + pad(head[1], w[1]) + "  " +
                          pad(head[2], w[2]) + "  " + head[3]);
        for (const BoardLine& b : redo) {
            say_line(con, "  " + pad(clean(b.serial), w[0]) + "  " + pad(b.time, w[1]) + "  " +
                              pad(clean(b.result), w[2]) + "  " + place(t, b.file, b.line, b.line));
        }
    }
    say_separator(con);
}

void say_updated_again(Console& con, const JournalTally& t) {
    const auto again = t.updated_again();
    say_line(con, "Обновлены больше одного раза: " + num(again.size()));
    size_t w = 0;
    for (const UpdatedAgain& a : again) w = std::max(w, width(clean(a.serial)));
    for (const UpdatedAgain& a : again) {
        say_line(con, "  " + pad(clean(a.serial), w) + "  обновлений: " + num(a.times));
    }
    say_separator(con);
}

void say_damaged(Console& con, const JournalTally& t) {
    say_line(con, "Повреждённые строки (не учтены): " + num(t.damaged_count()));
    std::vector<std::string> places;
    size_t w = 0;
    for (const DamagedLine& d : t.damaged()) {
        places.push_back(place(t, d.file, d.first_line, d.last_line));
        w = std::max(w, width(places.back()));
    }
    for (size_t i = 0; i < places.size(); ++i) {
        say_line(con, "  " + pad(places[i], w) + "  " + damage_text(t.damaged()[i], t.columns()));
    }
    if (t.damaged_count() > t.damaged().size()) {
        say_line(con, "  ... ещё " + num(t.damaged_count() - t.damaged().size()));
    }
    say_separator(con);
}

void say_verdict(Console& con, const JournalTally& t) {
    const size_t redo = t.to_redo().size();
    const auto unread = static_cast<size_t>(
        std::count_if(t.files().begin(), t.files().end(),
                      [](const JournalFileInfo& f) { return f.state != FileState::read; }));
    if (unread > 0) {
        say_line(con, "Итог: отчёт неполный, не прочитано файлов: " + num(unread) +
                          "; переделать плат: " + num(redo));
    } else if (redo > 0) {
        say_line(con, "Итог: переделать плат: " + num(redo));
    } else {
        say_line(con, "Итог: все платы готовы");
    }
}

}  // namespace

void say_report(Console& con, const JournalTally& tally) {
    say_files(con, tally);
    say_totals(con, tally);
    say_to_redo(con, tally);
    say_updated_again(con, tally);
    say_damaged(con, tally);
    say_verdict(con, tally);
}

}  // namespace qd
