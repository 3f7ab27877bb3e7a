// build/make-dictionary: writes DCMTK's data dictionary as a C++ table, so
// that trevik-dicom adds it to DCMTK's dictionary at start instead of
// parsing the text files at the first parse of every run. Reads the files
// DCMTK itself reads by default (DCM_DICT_DEFAULT_PATH), line by line in
// their order, by the rules of DCMTK's text reader: tab-separated fields
// (tag, VR, name, and optionally VM and version), a tag as "(gggg,eeee)",
// "(gggg,"creator",ee)" or a range "(6000-o-60ff,3000)". A line that
// reader would refuse ends the build here: the table never differs from
// the text in silence (a unit test also compares the two entry by entry).
//   make-dictionary OUTPUT.h DEPFILE
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row {
    unsigned group = 0, element = 0, upperGroup = 0, upperElement = 0;
    int vr = 0;
    int vmMin = 1, vmMax = 1;
    int groupRule = 0, elementRule = 0;  // DcmDictRangeRestriction
    std::size_t name = 0, version = 0, creator = 0;
};

// Every string once, after a leading empty one (offset 0: no creator).
class Texts {
public:
    Texts() : blob_(1, '\0') {}
    std::size_t add(const std::string& text) {
        if (text.empty()) return 0;
        auto [it, fresh] = at_.try_emplace(text, blob_.size());
        if (fresh) blob_.append(text).push_back('\0');
        return it->second;
    }
    const std::string& blob() const { return blob_; }

private:
    std::string blob_;
    std::map<std::string, std::size_t> at_;
};

std::string withoutSpace(const std::string& s) {
    std::string out;
    for (const char c : s)
        if (!std::isspace(static_cast<unsigned char>(c))) out.push_back(c);
    return out;
}

std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// One part of a tag: "gggg", "gggg-hhhh" (even steps) or "gggg-o-hhhh".
bool tagPart(const std::string& s, unsigned& low, unsigned& high, int& rule) {
    char restrictor = ' ';
    rule = DcmDictRange_Unspecified;
    if (std::sscanf(s.c_str(), "%x-%c-%x", &low, &restrictor, &high) == 3) {
        switch (restrictor) {
            case 'o': case 'O': rule = DcmDictRange_Odd; return true;
            case 'e': case 'E': rule = DcmDictRange_Even; return true;
            case 'u': case 'U': return true;
            default: return false;
        }
    }
    if (std::sscanf(s.c_str(), "%x-%x", &low, &high) == 2) {
        rule = DcmDictRange_Even;
        return true;
    }
    if (std::sscanf(s.c_str(), "%x", &low) == 1) {
        high = low;
        return true;
    }
    return false;
}

bool tagField(const std::string& field, Row& row, std::string& creator) {
    const std::string s = trimmed(field);
    if (s.size() < 2 || s.front() != '(' || s.back() != ')' || s.find(',') == std::string::npos) return false;
    std::size_t i = 1;
    std::string group, element;
    for (; i < s.size() && s[i] != ','; ++i) group.push_back(s[i]);
    if (i >= s.size()) return false;
    ++i;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == '"') {
        const std::size_t close = s.find('"', i + 1);
        if (close == std::string::npos) return false;
        creator = s.substr(i + 1, close - i - 1);
        i = close + 1;
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i >= s.size() || s[i] != ',') return false;
        ++i;
    }
    for (; i < s.size() && s[i] != ')'; ++i) element.push_back(s[i]);
    return tagPart(withoutSpace(group), row.group, row.upperGroup, row.groupRule) &&
           tagPart(withoutSpace(element), row.element, row.upperElement, row.elementRule) && row.group <= 0xFFFF &&
           row.upperGroup <= 0xFFFF && row.element <= 0xFFFF && row.upperElement <= 0xFFFF;
}

// "1", "1-3", "1-n", "2-2n", "3n" or "n".
bool vmField(const std::string& field, int& low, int& high) {
    const std::string s = withoutSpace(field);
    const char* t = s.c_str();
    char c = 0;
    int ignored = 0;
    const auto variable = [&high](char n) {
        high = DcmVariableVM;
        return n == 'n' || n == 'N';
    };
    if (std::sscanf(t, "%d-%d%c", &low, &ignored, &c) == 3) return variable(c);
    if (std::sscanf(t, "%d-%d", &low, &high) == 2) return true;
    if (std::sscanf(t, "%d-%c", &low, &c) == 2) return variable(c);
    if (std::sscanf(t, "%d%c", &low, &c) == 2) return variable(c);
    if (std::sscanf(t, "%d", &low) == 1) {
        high = low;
        return true;
    }
    if (std::sscanf(t, "%c", &c) == 1) {
        low = 1;
        return variable(c);
    }
    return false;
}

bool readFile(const std::string& path, Texts& texts, std::vector<Row>& rows) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "make-dictionary: cannot read %s\n", path.c_str());
        return false;
    }
    std::string whole;
    for (int number = 1; std::getline(in, whole); ++number) {
        // As DCMTK's reader: trailing white space goes before the fields
        // are split at tabs.
        std::string line = whole;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
        Row row;
        std::string creator, version = "DICOM";
        bool ok = whole.size() < DCM_MAXDICTLINESIZE && fields.size() >= 3 && fields.size() <= 5 &&
                  tagField(fields[0], row, creator);
        if (ok && fields.size() >= 4) ok = vmField(fields[3], row.vmMin, row.vmMax);
        if (fields.size() == 5) version = withoutSpace(trimmed(fields[4]));
        DcmVR vr;
        if (ok) vr.setVR(withoutSpace(fields[1]).c_str());
        if (!ok || vr.getEVR() == EVR_UNKNOWN) {
            std::fprintf(stderr, "make-dictionary: %s:%d: not a dictionary entry DCMTK reads\n", path.c_str(), number);
            return false;
        }
        row.vr = vr.getEVR();
        row.name = texts.add(withoutSpace(fields[2]));
        row.version = texts.add(version);
        row.creator = texts.add(creator);
        rows.push_back(row);
    }
    return true;
}

void writeTable(std::ostream& out, const Texts& texts, const std::vector<Row>& rows, const std::string& from) {
    out << "// Written by make-dictionary from " << from << "; not to be edited.\n"
        << "#pragma once\n\n#include <cstdint>\n\nnamespace trevik::dicom::compiled {\n\n"
        << "struct Entry {\n"
        << "    std::uint16_t group, element, upperGroup, upperElement;\n"
        << "    std::int16_t vr, vmMin, vmMax;  // DcmEVR; VM to -1: n\n"
        << "    std::uint8_t groupRule, elementRule;  // DcmDictRangeRestriction\n"
        << "    std::uint32_t name, version, creator;  // offsets into kTexts; creator 0: none\n"
        << "};\n\n"
        << "// Every name, version and creator, each ended by a zero byte, one\n"
        << "// literal each (a zero byte never runs into a digit after it).\n"
        << "inline constexpr char kTexts[] =\n    \"\\0\"";
    std::size_t column = 0;
    const std::string& blob = texts.blob();
    for (std::size_t i = 1; i < blob.size(); ++i) {
        if (blob[i - 1] == '\0') out << (++column % 6 == 0 ? "\n    \"" : " \"");
        if (blob[i] == '\0') out << "\\0\"";
        else if (blob[i] == '"' || blob[i] == '\\') out << '\\' << blob[i];
        else out << blob[i];
    }
    out << ";\n\n";
    out << "inline constexpr Entry kEntries[] = {\n";
    for (const Row& r : rows)
        out << "    {" << r.group << ", " << r.element << ", " << r.upperGroup << ", " << r.upperElement << ", " << r.vr
            << ", " << r.vmMin << ", " << r.vmMax << ", " << r.groupRule << ", " << r.elementRule << ", " << r.name
            << ", " << r.version << ", " << r.creator << "},\n";
    out << "};\n\n}  // namespace trevik::dicom::compiled\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make-dictionary OUTPUT.h DEPFILE\n", stderr);
        return 2;
    }
    const std::string paths = DCM_DICT_DEFAULT_PATH;
    std::vector<std::string> files;
    std::istringstream split(paths);
    for (std::string f; std::getline(split, f, ENVIRONMENT_PATH_SEPARATOR);)
        if (!f.empty()) files.push_back(f);
    Texts texts;
    std::vector<Row> rows;
    for (const std::string& f : files)
        if (!readFile(f, texts, rows)) return 1;
    for (const char c : texts.blob())
        if (c != '\0' && !std::isprint(static_cast<unsigned char>(c))) {
            std::fputs("make-dictionary: a name holds a character that is not printable ASCII\n", stderr);
            return 1;
        }
    std::ostringstream table;
    writeTable(table, texts, rows, paths);
    std::ofstream out(argv[1]);
    out << table.str();
    std::ofstream dep(argv[2]);
    dep << argv[1] << ":";
    for (const std::string& f : files) dep << " " << f;
    dep << "\n";
    out.close();
    dep.close();
    if (!out || !dep) {
        std::fputs("make-dictionary: cannot write the table\n", stderr);
        return 1;
    }
    return 0;
}
