#include "cases.h"

#include <map>

#include "exe_oracle.h"
#include "facts.h"
#include "service.h"

namespace {

using facts::kGlobalMutex;
using facts::kInstanceMutex;
const DWORD kRunTimeoutMs = 30000;

using facts::kIcon;
using facts::kIconFixed;
using facts::kSetup;
using facts::kSetupFixed;
const wchar_t* const kSvc = facts::kService;
const wchar_t* const kSvcFixed = facts::kServiceFixed;
const wchar_t* const kHead = facts::kSetupPath;

using facts::kAlready;
using facts::kFailed;
using facts::kModified;
using facts::kNoTarget;
using facts::kQuestion;

// ---- values ---------------------------------------------------------------

struct Value {
    bool exists = true;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};
typedef std::map<int, Value> Values;

Value Sz(const std::wstring& text, DWORD type = REG_SZ, bool terminated = true) {
    Value v;
    v.type = type;
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    v.data.assign(p, p + text.size() * 2);
    if (terminated) v.data.insert(v.data.end(), 2, 0);
    return v;
}

Value Fixed(const std::wstring& group1, const std::wstring& group2 = L"", DWORD type = REG_SZ) {
    return Sz(L"\"" + group1 + L"\"" + group2, type);
}

Value Raw(DWORD type, std::vector<BYTE> data) {
    Value v;
    v.type = type;
    v.data = std::move(data);
    return v;
}

Value Plus(Value v, const std::vector<BYTE>& more) {
    v.data.insert(v.data.end(), more.begin(), more.end());
    return v;
}

Value Multi(const std::vector<std::wstring>& strings) {
    std::wstring all;
    for (const std::wstring& s : strings) all += s + std::wstring(1, L'\0');
    return Sz(all, REG_MULTI_SZ);
}

Value Dword(DWORD n) { return Raw(REG_DWORD, {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}); }

Value Absent() {
    Value v;
    v.exists = false;
    return v;
}

std::wstring LongArgs(size_t length) {
    return L" -" + std::wstring(length - wcslen(kHead) - 2, L'a');
}

const char* SlotName(int slot) {
    static const char* names[kSlots] = {"UninstallString (32-bit view)", "DisplayIcon (32-bit view)",
                                        "UninstallString (64-bit view)", "DisplayIcon (64-bit view)",
                                        "ImagePath"};
    return names[slot];
}

std::string Describe(bool exists, DWORD type, const std::vector<BYTE>& data) {
    if (!exists) return "absent";
    static const char* types[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                  "5", "6", "REG_MULTI_SZ"};
    std::string out = type < 8 ? types[type] : std::to_string(type);
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
    out += " \"" + Narrow(text) + "\"";
    if (data.size() % 2) out += " +" + std::to_string(data.back());
    return out;
}

std::string Seed(const System& s, const Values& values) {
    std::string why;
    if (!s.before->Clean(&why)) return why;
    for (const auto& entry : values) {
        const SlotPlace& place = PlaceOf(entry.first);
        LONG rc = winops::WriteValue(place.view, place.subkey, place.name, entry.second.type, entry.second.data);
        if (rc != ERROR_SUCCESS)
            return std::string("cannot seed ") + SlotName(entry.first) + ": error " + std::to_string(rc);
    }
    return "";
}

// The values must be the seed with `changes` applied; nothing else changed.
std::string CheckValues(const System& s, const Values& seed, const Values& changes) {
    Value expected[kSlots];
    for (int slot = 0; slot < kSlots; ++slot) expected[slot] = Absent();
    for (const auto& e : seed) expected[e.first] = e.second;
    for (const auto& e : changes) expected[e.first] = e.second;
    if (!s.has64) {
        // One view: both readings see the same value.
        expected[U64] = expected[U32];
        expected[I64] = expected[I32];
    }
    std::string out;
    for (int slot = 0; slot < kSlots; ++slot) {
        const SlotPlace& place = PlaceOf(slot);
        winops::StoredValue got;
        LONG rc = winops::ReadValue(place.view, place.subkey, place.name, &got);
        if (rc != ERROR_SUCCESS) return std::string("cannot read ") + SlotName(slot);
        const Value& want = expected[slot];
        bool same = got.exists == want.exists && (!got.exists || (got.type == want.type && got.data == want.data));
        if (!same)
            out += std::string(out.empty() ? "" : "; ") + SlotName(slot) + " is " +
                   Describe(got.exists, got.type, got.data) + ", expected " +
                   Describe(want.exists, want.type, want.data);
    }
    return out;
}

std::string BoxesOf(const winops::RunResult& r) {
    std::string out;
    for (const winops::Box& b : r.boxes) out += (out.empty() ? "\"" : ", \"") + Narrow(b.text) + "\"";
    return "[" + out + "]";
}

std::string CheckRun(const System& s, const winops::RunResult& r, DWORD exit, const std::vector<int>& boxes) {
    if (r.error) return "cannot start velquist.exe: error " + std::to_string(r.error);
    if (r.killed) return "ended after an unexpected box (boxes " + BoxesOf(r) + ")";
    if (r.timedOut)
        return "did not end within " + std::to_string(kRunTimeoutMs / 1000) + " s (boxes " + BoxesOf(r) + ")" +
               (r.problem.empty() ? "" : ", " + r.problem);
    std::string out;
    if (r.boxes.size() != boxes.size()) {
        out = "showed " + std::to_string(r.boxes.size()) + " boxes " + BoxesOf(r) + ", expected " +
              std::to_string(boxes.size());
    } else {
        for (size_t i = 0; i < boxes.size(); ++i) {
            const winops::Box& b = r.boxes[i];
            std::vector<int> ids = boxes[i] == kQuestion ? std::vector<int>{IDYES, IDNO} : std::vector<int>{IDOK};
            if (b.caption != facts::TextOf(facts::kTitle, s.japanese)) out += "box caption \"" + Narrow(b.caption) + "\"; ";
            if (b.text != facts::TextOf(boxes[i], s.japanese))
                out += "box text \"" + Narrow(b.text) + "\", expected \"" + Narrow(facts::TextOf(boxes[i], s.japanese)) + "\"; ";
            if (b.ids != ids) out += std::string("box buttons differ from ") + (ids.size() == 2 ? "Yes/No; " : "OK; ");
            if (b.icon) out += "box has an icon; ";
        }
    }
    if (r.exit != exit)
        out += std::string(out.empty() ? "" : " ") + "exit code " + std::to_string(r.exit) + ", expected " +
               std::to_string(exit);
    return out;
}

winops::RunResult Start(const System& s, const std::wstring& cmdline, std::vector<std::wstring> answers) {
    size_t next = 0;
    return winops::Run(s.exe, cmdline, [&](const winops::Box& box) -> std::wstring {
        std::wstring answer = next < answers.size() ? answers[next++] : L"";
        int id = answer == L"yes" ? IDYES : answer == L"no" ? IDNO : answer == L"ok" ? IDOK : 0;
        bool answerable = answer == L"close";
        for (int b : box.ids) answerable = answerable || b == id;
        // A box the case did not expect would only wait for the time-out.
        return answerable ? answer : L"kill";
    }, kRunTimeoutMs);
}

// Seed, run, check the transcript and the values.
std::string Scenario(const System& s, const Values& seed, const std::wstring& cmdline,
                     std::vector<std::wstring> answers, DWORD exit, const std::vector<int>& boxes,
                     const Values& changes, const std::function<std::string()>& prepare = nullptr) {
    std::string why = Seed(s, seed);
    if (why.empty() && prepare) why = prepare();
    if (!why.empty()) return "set-up: " + why;
    winops::RunResult r = Start(s, cmdline, answers);
    return Join(CheckRun(s, r, exit, boxes), CheckValues(s, seed, changes));
}

int NeedsFor(const Values& seed) {
    for (const auto& e : seed)
        if (e.first == U64 || e.first == I64) return k64;
    return kNothing;
}

// White space as this system's character types have it, which is what
// velquist.exe asks too: the kit judges it on the system it runs on.
bool IsSystemSpace(wchar_t c) {
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & (C1_SPACE | C1_BLANK));
}

// ---- the cases ----------------------------------------------------------------

enum Refused { kNone, kRefused, kRefusedBesideARepair };

struct Outcome {
    const char* name;
    Values seed;
    Refused refused;
    std::vector<std::wstring> answers;
    DWORD exit;
    std::vector<int> boxes;
    Values changes;
};

// A write is refused by making a key read-only, and only a key the kit
// created itself: a vendor's permissions are never touched. The service key
// when it was free, else an uninstall key; a repair beside the refusal goes
// to the other kind of key, where velquist.exe looks as well.
std::string RunOutcome(const System& s, const Outcome& o, const std::wstring& cmdline) {
    if (o.refused == kNone)
        return Scenario(s, o.seed, cmdline, o.answers, o.exit, o.boxes, o.changes);
    Values seed, changes;
    if (s.refusable == SVC) {
        seed[SVC] = Sz(kSvc, REG_EXPAND_SZ);
        if (o.refused == kRefusedBesideARepair) {
            seed[U32] = Sz(kSetup);
            changes[U32] = Sz(kSetupFixed);
        }
    } else {
        seed[s.refusable] = Sz(kSetup);
        if (o.refused == kRefusedBesideARepair) {
            seed[SVC] = Sz(kSvc, REG_EXPAND_SZ);
            changes[SVC] = Sz(kSvcFixed, REG_EXPAND_SZ);
        }
    }
    const SlotPlace& place = PlaceOf(s.refusable);
    return Scenario(s, seed, cmdline, o.answers, o.exit, o.boxes, changes, [&place] {
        LONG rc = winops::SetKeyAccess(place.view, place.subkey, true);
        return rc == ERROR_SUCCESS ? std::string() : "cannot make a key read-only: error " + std::to_string(rc);
    });
}

void AddOutcomes(std::vector<Case>* cases) {
    const std::vector<Outcome> outcomes = {
        {"outcome 0: Yes repairs, then says so", {{U32, Sz(kSetup)}, {I32, Sz(kIconFixed)}}, kNone,
         {L"yes", L"ok"}, 0, {kQuestion, kModified}, {{U32, Sz(kSetupFixed)}}},
        {"outcome 1: a write refused", {}, kRefused, {L"yes", L"ok"}, 1, {kQuestion, kFailed}, {}},
        {"outcome 2: nothing there", {}, kNone, {L"ok"}, 2, {kNoTarget}, {}},
        {"outcome 3: already quoted", {{I32, Sz(kIconFixed)}}, kNone, {L"ok"}, 3, {kAlready}, {}},
        {"outcome 4: No changes nothing", {{U32, Sz(kSetup)}, {SVC, Sz(kSvc, REG_EXPAND_SZ)}}, kNone,
         {L"no"}, 4, {kQuestion}, {}},
        {"closing the question is no consent", {{U32, Sz(kSetup)}}, kNone, {L"close"}, 4, {kQuestion}, {}},
        {"a failed write outweighs a repair, nothing rolled back", {}, kRefusedBesideARepair, {L"yes", L"ok"}, 1,
         {kQuestion, kFailed}, {}},
    };
    for (const Outcome& o : outcomes) {
        int needs = kBoxes | (o.refused != kNone ? kOwnKey : 0);
        cases->push_back({"interactive, " + std::string(o.name), needs, [o](const System& s) {
            return RunOutcome(s, o, L"velquist.exe");
        }});
    }
    const std::vector<Outcome> silent = {
        {"outcome 0", {{U32, Sz(kSetup)}, {SVC, Sz(kSvc, REG_EXPAND_SZ)}}, kNone, {}, 0, {},
         {{U32, Sz(kSetupFixed)}, {SVC, Sz(kSvcFixed, REG_EXPAND_SZ)}}},
        {"outcome 1, and no box for the failure", {}, kRefused, {}, 1, {}, {}},
        {"outcome 2", {}, kNone, {}, 2, {}, {}},
        {"outcome 3", {{I32, Sz(kIconFixed)}}, kNone, {}, 3, {}, {}},
    };
    for (const Outcome& o : silent) {
        cases->push_back({"silent, " + std::string(o.name), o.refused != kNone ? kOwnKey : kNothing,
                          [o](const System& s) { return RunOutcome(s, o, L"velquist.exe /S"); }});
    }
}

void AddSwitches(std::vector<Case>* cases) {
    const std::wstring spaced = L"C:\\Velquist Test\\velquist.exe";
    const std::vector<std::wstring> silent = {
        L"velquist.exe /s", L"velquist.exe -s", L"velquist.exe /S", L"velquist.exe -S", L"velquist.exe\t-s",
        L"velquist.exe  \t /s", L"velquist.exe \x01\x1f-S", L"velquist.exe\x0b/s", L"\"" + spaced + L"\" /S",
        L"\"" + spaced + L"\"\t\t-s", L"velq\"uist .e\"xe /s", L"\"\" /s"};
    const std::vector<std::wstring> interactive = {
        L"velquist.exe /s ", L"velquist.exe /s\t", L"velquist.exe --s", L"velquist.exe /s /s",
        L"velquist.exe /silent", L"velquist.exe s", L"velquist.exe", L"velquist.exe ", L"velquist.exe \"/s\"",
        L"velquist.exe \\s", L"velquist.exe /\x017f", L"velquist.exe /\xff53", L"velquist.exe \x3000/s",
        L"velquist.exe\xa0/s", L"velquist.exe\x7f/s", L"\"" + spaced + L"\"/s", spaced + L" /s",
        L"\"velquist.exe /s", L"\"velquist.exe /s\""};
    Values seed = {{U32, Sz(kSetup)}};
    for (const std::wstring& cmdline : silent)
        cases->push_back({"switch, silent: [" + Narrow(cmdline) + "]", kNothing, [=](const System& s) {
            return Scenario(s, seed, cmdline, {}, 0, {}, {{U32, Sz(kSetupFixed)}});
        }});
    for (const std::wstring& cmdline : interactive)
        cases->push_back({"switch, asks: [" + Narrow(cmdline) + "]", kBoxes, [=](const System& s) {
            return Scenario(s, seed, cmdline, {L"no"}, 4, {kQuestion}, {});
        }});
}

void AddStoredForms(std::vector<Case>* cases) {
    const std::wstring head = kHead;
    struct Form {
        const char* name;
        Values seed;
        DWORD exit;
        Values changes;
    };
    const std::vector<Form> forms = {
        {"no terminator, 64-bit view", {{U64, Sz(head + L" -x", REG_SZ, false)}}, 0, {{U64, Fixed(head, L" -x")}}},
        {"no terminator, default view", {{U32, Sz(head + L" -x", REG_SZ, false)}}, 0, {{U32, Fixed(head, L" -x")}}},
        {"odd byte count", {{U32, Plus(Sz(head + L" -x", REG_SZ, false), {'A'})}}, 0, {{U32, Fixed(head, L" -x")}}},
        {"odd byte after the terminator", {{U32, Plus(Sz(head), {'A'})}}, 0, {{U32, Fixed(head)}}},
        {"text ends at the first NUL", {{U32, Sz(head + std::wstring(L" -x\0tail", 8))}}, 0,
         {{U32, Fixed(head, L" -x")}}},
        {"multi-string: first string kept, table type written",
         {{U32, Multi({head + L" -x", L"second"})}, {SVC, Multi({head + L" -k", L"net"})}}, 0,
         {{U32, Fixed(head, L" -x")}, {SVC, Fixed(head, L" -k", REG_EXPAND_SZ)}}},
        {"written with the table type, not the stored one",
         {{U32, Sz(head, REG_EXPAND_SZ)}, {SVC, Sz(head)}}, 0,
         {{U32, Fixed(head)}, {SVC, Fixed(head, L"", REG_EXPAND_SZ)}}},
        {"icon index and arguments", {{I32, Sz(head + L",0")}, {U32, Sz(head + L" \"arg one\" /q")}}, 0,
         {{I32, Fixed(head, L",0")}, {U32, Fixed(head, L" \"arg one\" /q")}}},
        {"environment reference kept as text",
         {{SVC, Sz(L"%ProgramFiles%\\Example Driver\\svc.exe", REG_EXPAND_SZ)}}, 0,
         {{SVC, Fixed(L"%ProgramFiles%\\Example Driver\\svc.exe", L"", REG_EXPAND_SZ)}}},
        {"259 characters and NUL fit",
         {{U32, Sz(head + LongArgs(259))}, {SVC, Sz(head + LongArgs(259), REG_EXPAND_SZ)}}, 0,
         {{U32, Fixed(head, LongArgs(259))}, {SVC, Fixed(head, LongArgs(259), REG_EXPAND_SZ)}}},
        {"260 characters without NUL fit", {{U32, Sz(head + LongArgs(260), REG_SZ, false)}}, 0,
         {{U32, Fixed(head, LongArgs(260))}}},
        {"over-long in the default view: left alone", {{U32, Sz(head + LongArgs(260))}}, 2, {}},
        {"over-long in the 64-bit view: left alone", {{U64, Sz(head + LongArgs(260))}}, 2, {}},
        {"over-long in the service key: left alone", {{SVC, Sz(head + LongArgs(260), REG_EXPAND_SZ)}}, 2, {}},
        {"an unreadable value leaves the others to be repaired",
         {{U32, Sz(head + LongArgs(300))}, {SVC, Sz(head, REG_EXPAND_SZ)}}, 0, {{SVC, Fixed(head, L"", REG_EXPAND_SZ)}}},
        {"too long in the default view, repaired in the 64-bit view",
         {{U32, Sz(head + LongArgs(300))}, {U64, Sz(head + L" /64")}}, 0, {{U64, Fixed(head, L" /64")}}},
        {"a number in the value", {{U32, Dword(1)}, {SVC, Dword(2)}}, 2, {}},
        {"binary holding the text", {{U32, Raw(REG_BINARY, Sz(head).data)}}, 2, {}},
        {"number in the default view, text in the 64-bit view", {{U32, Dword(1)}, {U64, Sz(head)}}, 0,
         {{U64, Fixed(head)}}},
        {"both views hold the value: the default view is repaired",
         {{U32, Sz(head + L" /32")}, {U64, Sz(head + L" /64")}}, 0, {{U32, Fixed(head, L" /32")}}},
        {"quoted in the default view: the 64-bit view is not looked at",
         {{U32, Fixed(head)}, {U64, Sz(head)}}, 3, {}},
        {"only in the 64-bit view: repaired there", {{U64, Sz(kSetup)}, {I64, Sz(kIcon)}}, 0,
         {{U64, Sz(kSetupFixed)}, {I64, Sz(kIconFixed)}}},
        {"empty string", {{U32, Sz(L"")}}, 3, {}},
        {"no bytes at all", {{U32, Raw(REG_SZ, {})}}, 3, {}},
        {"empty multi-string", {{SVC, Raw(REG_MULTI_SZ, {0, 0})}}, 3, {}},
    };
    for (const Form& f : forms)
        cases->push_back({"value form: " + std::string(f.name), NeedsFor(f.seed), [f](const System& s) {
            return Scenario(s, f.seed, L"velquist.exe /s", {}, f.exit, {}, f.changes);
        }});
    cases->push_back({"value form: the default view's key without the value", k64, [head](const System& s) {
        Values seed = {{U64, Sz(head + L" -x")}};
        return Scenario(s, seed, L"velquist.exe /s", {}, 0, {}, {{U64, Fixed(head, L" -x")}}, [] {
            bool created;
            LONG rc = winops::CreateKey(KEY_WOW64_32KEY, kUninstallKey, &created);
            return rc == ERROR_SUCCESS ? std::string() : "cannot create the key: error " + std::to_string(rc);
        });
    }});
}

void AddMatching(std::vector<Case>* cases) {
    const std::vector<std::wstring> texts = {
        L"C:\\Program Files\\Example Driver\\setup.exe -uninstall",
        L"C:\\Program Files\\Example Driver\\svc.EXE",
        L"C:\\Tools\\run.exe -config C:\\Data Files\\x.exe",
        L"C:\\Program Files\\run.exe -config C:\\Data Files\\x.exe",
        L"C:\\Program Files\\a.exe.exe -x",
        L"C:\\Program Files\\Example Driver\\a.executor\\run.bat",
        L"\"C:\\Program Files\\Example Driver\\setup.exe\" -uninstall",
        L"C:\\PROGRA~1\\EXAMPL~1\\setup.exe -uninstall",
        L"system32\\drivers\\example.sys",
        L" C:\\x.exe",
        L"\tC:\\x.eXe /q",
        L"C:\\Program\x3000" L"Files\\a.exe",
        L"C:\\Program\xa0" L"Files\\a.exe -x",
        L"C:\\Program\x2028" L"Files\\a.exe",
        L"C:\\Program\xfeff" L"Files\\a.exe",
        L"C:\\Program\x200b" L"Files\\a.exe",
        L"C:\\Program Files\\a.exe\x2028tail\x2029",
        L"C:\\Program Files\\a.exe\x85",
        L"C:\\Program Files\\a.exe\ntail",
        L"C:\\Program Files\\a.exe -x\r",
        L"C:\\Pro\ngram\\a.exe x",
        L"C:\\Program Files\\a.exe x\n b.exe",
        L"C:\\Program Files\\a.exe \"x\" b.exe",
        L"C:\\Program Files\\a.EXE.bak",
        L"C:\\Program Files\\a\xff0e" L"exe",
        L"a .exe",
        L" .exe",
        L".exe ",
    };
    for (const std::wstring& text : texts)
        cases->push_back({"match: [" + Narrow(text) + "]", kNothing, [text](const System& s) {
            // The same text in all three values, each written back with its own type.
            Values seed = {{U32, Sz(text)}, {I32, Sz(text)}, {SVC, Sz(text, REG_EXPAND_SZ)}};
            const oracle::Split split = oracle::FindUnquotedExe(text, IsSystemSpace);
            Values changes;
            if (split.matched) {
                const size_t end = split.group1Length;
                const std::wstring fixed = L"\"" + text.substr(0, end) + L"\"" + text.substr(end);
                changes = {{U32, Sz(fixed)}, {I32, Sz(fixed)}, {SVC, Sz(fixed, REG_EXPAND_SZ)}};
            }
            return Scenario(s, seed, L"velquist.exe /s", {}, changes.empty() ? 3 : 0, {}, changes);
        }});
}

const Values kBroken = {{U32, Sz(kSetup)}, {I32, Sz(kIcon)}, {SVC, Sz(kSvc, REG_EXPAND_SZ)}};
const Values kRepaired = {{U32, Sz(kSetupFixed)}, {I32, Sz(kIconFixed)}, {SVC, Sz(kSvcFixed, REG_EXPAND_SZ)}};

void AddLocks(std::vector<Case>* cases) {
    struct Held {
        const char* name;
        std::wstring mutex;
        bool blocks;
    };
    const std::wstring instance = kInstanceMutex, global = kGlobalMutex;
    const std::vector<Held> held = {
        {"session lock", instance, true},
        {"session lock, spelt Local\\", L"Local\\" + instance, true},
        {"global lock", global, true},
        {"session name in the global namespace", L"Global\\" + instance, false},
        {"global name in the session namespace", global.substr(7), false},
    };
    for (const Held& h : held) {
        std::string name = std::string(h.blocks ? "locks: held by another process: " : "locks: no block by ") + h.name;
        cases->push_back({name + ", silent", kNothing, [h](const System& s) {
            winops::Mutexes holder;
            return Scenario(s, kBroken, L"velquist.exe /s", {}, h.blocks ? 1 : 0, {},
                            h.blocks ? Values() : kRepaired, [&] {
                DWORD r = holder.Add(h.mutex, true);
                return r == WAIT_OBJECT_0 ? std::string() : std::string("cannot hold the mutex: ") + winops::WaitName(r);
            });
        }});
        if (h.blocks)
            cases->push_back({name + ", interactive", kBoxes, [h](const System& s) {
                winops::Mutexes holder;
                return Scenario(s, kBroken, L"velquist.exe", {L"ok"}, 1, {kFailed}, {}, [&] {
                    DWORD r = holder.Add(h.mutex, true);
                    return r == WAIT_OBJECT_0 ? std::string() : std::string("cannot hold the mutex: ") + winops::WaitName(r);
                });
            }});
    }
    for (const std::wstring& mutex : {instance, global})
        cases->push_back({"locks: an abandoned lock fails the next run only: " + Narrow(mutex), kNothing, [mutex](const System& s) {
            winops::Mutexes kept;
            std::string first = Scenario(s, kBroken, L"velquist.exe /s", {}, 1, {}, {}, [&] {
                return winops::AbandonMutexes({mutex}, &kept) ? std::string() : std::string("cannot abandon the mutex");
            });
            if (!first.empty()) return "first run: " + first;
            winops::RunResult r = Start(s, L"velquist.exe /s", {});
            std::string second = Join(CheckRun(s, r, 0, {}), CheckValues(s, kBroken, kRepaired));
            return second.empty() ? second : "second run: " + second;
        }});
    cases->push_back({"locks: a second instance fails at once while the first asks", kBoxes, [](const System& s) {
        std::string why = Seed(s, kBroken);
        if (!why.empty()) return "set-up: " + why;
        std::string second;
        winops::RunResult first = winops::Run(s.exe, L"velquist.exe", [&](const winops::Box& box) -> std::wstring {
            if (box.text != facts::TextOf(kQuestion, s.japanese)) return L"ok";
            winops::RunResult silent = Start(s, L"velquist.exe /s", {});
            second = Join(CheckRun(s, silent, 1, {}), CheckValues(s, kBroken, {}));
            if (!second.empty()) second = "second, silent: " + second;
            winops::RunResult asking = Start(s, L"velquist.exe", {L"ok"});
            std::string more = CheckRun(s, asking, 1, {kFailed});
            second = Join(second, more.empty() ? more : "second, interactive: " + more);
            return L"yes";
        }, 3 * kRunTimeoutMs);
        std::string firstWhy = CheckRun(s, first, 0, {kQuestion, kModified});
        return Join(Join(second, firstWhy.empty() ? firstWhy : "first: " + firstWhy),
                    CheckValues(s, kBroken, kRepaired));
    }});
    cases->push_back({"locks: several runs at once repair each value once", kNothing, [](const System& s) {
        std::string why = Seed(s, kBroken);
        if (!why.empty()) return "set-up: " + why;
        DWORD error = 0;
        std::vector<DWORD> exits = winops::RunMany(s.exe, L"velquist.exe /s", 8, 2 * kRunTimeoutMs, &error);
        if (error) return "cannot start velquist.exe: error " + std::to_string(error);
        std::string codes;
        bool zero = false, other = false;
        for (DWORD c : exits) {
            codes += (codes.empty() ? "" : ",") + std::to_string(c);
            zero = zero || c == 0;
            other = other || (c != 0 && c != 1 && c != 3);
        }
        std::string out = zero && !other ? "" : "exit codes " + codes + ", expected only 0, 1 and 3 with one 0 at least";
        return Join(out, CheckValues(s, kBroken, kRepaired));
    }});
}

}  // namespace

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    AddOutcomes(&cases);
    AddSwitches(&cases);
    AddStoredForms(&cases);
    AddMatching(&cases);
    AddLocks(&cases);
    service::AddCase(&cases);
    return cases;
}
