#include "cli/bids/bids_layout.h"

#include <algorithm>
#include <map>
#include <set>

#include "cli/base/errors.h"
#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::vector<fs::path> sortedEntries(const fs::path& dir, bool directories) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) == directories) out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string relativeTo(const fs::path& root, const fs::path& p) {
    return p.lexically_relative(root).generic_string();
}

/// Strings of a JSON value that is a text or a list of texts.
std::vector<std::string> texts(const json& fields, const std::string& key) {
    std::vector<std::string> out;
    const auto it = fields.find(key);
    if (it == fields.end()) return out;
    if (it->is_string()) out.push_back(it->get<std::string>());
    if (it->is_array()) {
        for (const auto& v : *it)
            if (v.is_string()) out.push_back(v.get<std::string>());
    }
    return out;
}

bool entitiesSubset(const BidsName& small, const BidsName& large) {
    for (const auto& [k, v] : small.entities) {
        if (large.get(k) != v) return false;
    }
    return true;
}

/// A .nii and a .nii.gz of the same name are the same image for IntendedFor.
std::string otherExtension(const std::string& rel) {
    if (rel.ends_with(".nii.gz")) return rel.substr(0, rel.size() - 3);
    if (rel.ends_with(".nii")) return rel + ".gz";
    return rel;
}

struct FmapGroup {
    std::map<std::string, BidsFile> bySuffix;
};

BidsFile makeFile(const fs::path& root, const fs::path& path, const BidsName& name) {
    BidsFile f;
    f.path = path;
    f.relative = relativeTo(root, path);
    f.name = name;
    return f;
}

FieldMapSet makeSet(const fs::path& root, FmapGroup& g) {
    FieldMapSet set;
    auto take = [&g](const char* suffix) -> std::optional<BidsFile> {
        const auto it = g.bySuffix.find(suffix);
        if (it == g.bySuffix.end()) return std::nullopt;
        return it->second;
    };
    if (auto pd = take("phasediff")) {
        set.kind = FieldMapKind::PhaseDifference;
        set.phase = *pd;
        set.magnitude = take("magnitude1");
        if (!set.magnitude) set.magnitude = take("magnitude2");
        if (!set.magnitude) set.problem = pd->relative + ": no magnitude1 image beside it";
    } else if (auto p1 = take("phase1")) {
        set.kind = FieldMapKind::TwoPhases;
        set.phase = *p1;
        set.phase2 = take("phase2");
        set.magnitude = take("magnitude1");
        if (!set.phase2) set.problem = p1->relative + ": no phase2 image beside it";
        if (set.problem.empty() && !set.magnitude)
            set.problem = p1->relative + ": no magnitude1 image beside it";
    } else if (auto p2 = take("phase2")) {
        set.kind = FieldMapKind::TwoPhases;
        set.phase = *p2;
        set.problem = p2->relative + ": no phase1 image beside it";
    } else if (auto fm = take("fieldmap")) {
        set.kind = FieldMapKind::FieldMap;
        set.phase = *fm;
        set.magnitude = take("magnitude");
    } else {
        return set;  // magnitudes alone: no set
    }
    for (BidsFile* f : {&set.phase, set.phase2 ? &*set.phase2 : nullptr,
                        set.magnitude ? &*set.magnitude : nullptr}) {
        if (f == nullptr) continue;
        try {
            f->sidecar = inheritedSidecar(root, f->path);
        } catch (const InputError& e) {
            if (set.problem.empty()) set.problem = e.what();
        }
    }
    set.identifiers = texts(set.phase.sidecar.fields, "B0FieldIdentifier");
    return set;
}

/// The epi images of one fmap folder paired: those sharing a B0FieldIdentifier, else those whose
/// names differ only in dir (and run).
std::vector<FieldMapSet> reversePhaseEncodingSets(const fs::path& root,
                                                  std::vector<BidsFile>& epis) {
    std::map<std::string, std::vector<std::size_t>> groups;
    std::vector<std::string> problems(epis.size());
    for (std::size_t i = 0; i < epis.size(); ++i) {
        BidsFile& f = epis[i];
        try {
            f.sidecar = inheritedSidecar(root, f.path);
        } catch (const InputError& e) {
            problems[i] = e.what();
        }
        const auto ids = texts(f.sidecar.fields, "B0FieldIdentifier");
        BidsName key = f.name;
        std::erase_if(key.entities,
                      [](const auto& e) { return e.first == "dir" || e.first == "run"; });
        key.extension.clear();
        groups[ids.empty() ? key.str() : "id:" + ids.front()].push_back(i);
    }
    std::vector<FieldMapSet> sets;
    for (const auto& [key, members] : groups) {
        FieldMapSet set;
        set.kind = FieldMapKind::ReversePhaseEncoding;
        set.phase = epis[members.front()];
        if (members.size() == 1) {
            set.problem = set.phase.relative +
                          ": a single epi image; a pair of opposite phase-encoding directions is "
                          "needed";
        } else if (members.size() > 2) {
            set.problem = set.phase.relative + ": " + std::to_string(members.size()) +
                          " epi images belong together; a pair (two) is needed";
        } else {
            set.phase2 = epis[members[1]];
        }
        for (std::size_t m : members) {
            if (set.problem.empty()) set.problem = problems[m];
        }
        set.identifiers = texts(set.phase.sidecar.fields, "B0FieldIdentifier");
        sets.push_back(std::move(set));
    }
    return sets;
}

bool wanted(const std::vector<std::string>& filter, const std::string& value) {
    return filter.empty() || std::find(filter.begin(), filter.end(), value) != filter.end();
}

}  // namespace

const char* fieldMapKindName(FieldMapKind kind) {
    switch (kind) {
        case FieldMapKind::PhaseDifference: return "phase difference";
        case FieldMapKind::TwoPhases: return "two phase images";
        case FieldMapKind::FieldMap: return "field map";
        case FieldMapKind::ReversePhaseEncoding: return "reverse phase-encoding pair";
    }
    return "";
}

Sidecar inheritedSidecar(const fs::path& root, const fs::path& file) {
    const auto name = parseBidsName(file.filename().string());
    Sidecar merged;
    merged.fields = json::object();
    if (!name) return merged;
    std::vector<fs::path> levels;
    for (fs::path dir = file.parent_path();; dir = dir.parent_path()) {
        levels.push_back(dir);
        if (dir == root || !dir.has_relative_path() || dir == dir.parent_path()) break;
    }
    std::reverse(levels.begin(), levels.end());
    const std::string own = (file.parent_path() / (niftiStem(file.string()) + ".json")).string();
    for (const auto& dir : levels) {
        std::vector<std::pair<std::size_t, fs::path>> applying;
        for (const auto& p : sortedEntries(dir, false)) {
            if (p.extension() != ".json") continue;
            const auto n = parseBidsName(p.filename().string());
            if (!n || n->extension != ".json" || n->suffix != name->suffix) continue;
            if (!entitiesSubset(*n, *name)) continue;
            applying.emplace_back(n->entities.size(), p);
        }
        std::stable_sort(applying.begin(), applying.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [count, p] : applying) {
            const Sidecar s = readSidecar(p.string());
            for (const auto& [key, value] : s.fields.items()) merged.fields[key] = value;
            merged.path = p.string();
        }
    }
    if (fs::exists(own)) merged.path = own;
    return merged;
}

std::string intendedForPath(const std::string& entry, const std::string& subject) {
    if (startsWith(entry, "bids::"))
        return fs::path(entry.substr(6)).lexically_normal().generic_string();
    return (fs::path("sub-" + subject) / entry).lexically_normal().generic_string();
}

BidsPlan planBidsDataset(const fs::path& rootIn, const BidsFilter& filter) {
    std::error_code ec;
    if (!fs::is_directory(rootIn, ec)) throw InputError(rootIn.string() + ": not a folder");
    BidsPlan plan;
    plan.root = fs::absolute(rootIn).lexically_normal();
    if (plan.root.has_filename() == false) plan.root = plan.root.parent_path();
    const fs::path& root = plan.root;

    std::vector<fs::path> subjects;
    for (const auto& d : sortedEntries(root, true)) {
        const std::string n = d.filename().string();
        if (startsWith(n, "sub-") && wanted(filter.participants, n.substr(4)))
            subjects.push_back(d);
    }
    for (const auto& label : filter.participants) {
        if (!fs::is_directory(root / ("sub-" + label), ec))
            throw InputError(root.string() + ": has no participant sub-" + label);
    }
    if (subjects.empty()) throw InputError(root.string() + ": holds no sub-* folders");

    std::vector<BoldRun> allRuns;
    std::vector<std::pair<std::string, std::size_t>> setSubject;  // subject of each set
    for (const auto& subjectDir : subjects) {
        const std::string subject = subjectDir.filename().string().substr(4);
        std::vector<fs::path> levels{subjectDir};
        for (const auto& d : sortedEntries(subjectDir, true)) {
            if (startsWith(d.filename().string(), "ses-")) levels.push_back(d);
        }
        for (const auto& level : levels) {
            for (const auto& p : sortedEntries(level / "func", false)) {
                const auto n = parseBidsName(p.filename().string());
                if (!n || n->suffix != "bold" || !hasNiftiExtension(p.string())) continue;
                BoldRun run;
                run.bold = makeFile(root, p, *n);
                try {
                    run.bold.sidecar = inheritedSidecar(root, p);
                } catch (const InputError& e) {
                    run.error = e.what();
                }
                allRuns.push_back(std::move(run));
            }
            std::map<std::string, FmapGroup> groups;
            std::vector<BidsFile> epis;
            for (const auto& p : sortedEntries(level / "fmap", false)) {
                auto n = parseBidsName(p.filename().string());
                if (!n || !hasNiftiExtension(p.string())) continue;
                if (n->suffix == "epi") {
                    epis.push_back(makeFile(root, p, *n));
                    continue;
                }
                BidsName key = *n;
                key.suffix.clear();
                key.extension.clear();
                groups[key.str()].bySuffix[n->suffix] = makeFile(root, p, *n);
            }
            for (auto& [key, group] : groups) {
                FieldMapSet set = makeSet(root, group);
                if (set.phase.path.empty()) continue;
                setSubject.emplace_back(subject, plan.fieldMaps.size());
                plan.fieldMaps.push_back(std::move(set));
            }
            for (FieldMapSet& set : reversePhaseEncodingSets(root, epis)) {
                setSubject.emplace_back(subject, plan.fieldMaps.size());
                plan.fieldMaps.push_back(std::move(set));
            }
        }
    }

    // Which runs each field map is meant for.
    std::map<std::string, std::size_t> runByPath;
    for (std::size_t r = 0; r < allRuns.size(); ++r) runByPath[allRuns[r].bold.relative] = r;
    std::vector<std::vector<std::pair<int, std::string>>> candidates(allRuns.size());
    for (std::size_t s = 0; s < plan.fieldMaps.size(); ++s) {
        const FieldMapSet& set = plan.fieldMaps[s];
        const std::string& subject = setSubject[s].first;
        bool used = false;
        std::vector<std::string> intended = texts(set.phase.sidecar.fields, "IntendedFor");
        if (set.phase2) {
            for (const auto& t : texts(set.phase2->sidecar.fields, "IntendedFor"))
                if (std::find(intended.begin(), intended.end(), t) == intended.end())
                    intended.push_back(t);
        }
        for (const auto& entry : intended) {
            const std::string rel = intendedForPath(entry, subject);
            auto it = runByPath.find(rel);
            if (it == runByPath.end()) it = runByPath.find(otherExtension(rel));
            if (it != runByPath.end()) {
                candidates[it->second].emplace_back(static_cast<int>(s), "IntendedFor");
                used = true;
            } else if (!fs::exists(root / rel, ec) && !fs::exists(root / otherExtension(rel), ec)) {
                plan.notes.push_back(set.phase.relative + ": IntendedFor names " + entry +
                                     ", which is not in the data set");
            } else {
                used = true;  // another kind of image (diffusion, anatomy)
            }
        }
        for (std::size_t r = 0; r < allRuns.size(); ++r) {
            if (allRuns[r].bold.name.get("sub") != subject) continue;
            for (const auto& source : texts(allRuns[r].bold.sidecar.fields, "B0FieldSource")) {
                if (std::find(set.identifiers.begin(), set.identifiers.end(), source) !=
                    set.identifiers.end()) {
                    auto& c = candidates[r];
                    c.erase(std::remove_if(
                                c.begin(), c.end(),
                                [s](const auto& x) { return x.first == static_cast<int>(s); }),
                            c.end());
                    c.insert(c.begin(), {static_cast<int>(s), "B0FieldSource"});
                    used = true;
                }
            }
        }
        if (!used) {
            plan.notes.push_back(set.phase.relative +
                                 ": this field map is intended for no run (no IntendedFor or "
                                 "B0FieldIdentifier names one)");
        }
    }

    for (std::size_t r = 0; r < allRuns.size(); ++r) {
        BoldRun& run = allRuns[r];
        if (!wanted(filter.tasks, run.bold.name.get("task")) ||
            !wanted(filter.sessions, run.bold.name.get("ses")) ||
            (!wanted(filter.bolds, run.bold.relative) &&
             !wanted(filter.bolds, run.bold.path.filename().string()))) {
            continue;
        }
        auto& c = candidates[r];
        // Usable field maps first; among them, the order found (B0FieldSource first).
        std::stable_partition(c.begin(), c.end(), [&plan](const auto& x) {
            return plan.fieldMaps[static_cast<std::size_t>(x.first)].problem.empty();
        });
        if (c.empty()) {
            run.note = "no field map is intended for this run (IntendedFor or B0FieldSource)";
        } else {
            run.fieldMap = c.front().first;
            run.matchedBy = c.front().second;
            const std::string& problem =
                plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)].problem;
            if (run.error.empty()) run.error = problem;
            if (c.size() > 1) {
                run.note = "several field maps are meant for this run; " +
                           plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)].phase.relative +
                           " is used";
            }
        }
        plan.runs.push_back(std::move(run));
    }
    return plan;
}

}  // namespace ondrift::cli
