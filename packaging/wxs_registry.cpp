// Writes the installer's registry rows for one architecture of the control
// from the module's registration table, so that the installer and
// DllRegisterServer register exactly the same keys. The GUIDs come from the
// interface definition, the one place they are written down.
//
//   orva_wxs_registry IDL win32|win64 FILE_ID OUTPUT.wxi

#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "control/ocx/registration_table.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// uuid(...) of each library, interface, dispinterface and coclass by name.
std::map<std::string, std::string> idlGuids(const std::string& idl) {
    static const std::regex declaration(
        R"(uuid\(([0-9A-Fa-f-]{36})\)[^\]]*\]\s*(?:library|interface|dispinterface|coclass)\s+(\w+))");
    std::map<std::string, std::string> guids;
    for (auto it = std::sregex_iterator(idl.begin(), idl.end(), declaration); it != std::sregex_iterator(); ++it)
        guids[(*it)[2]] = "{" + (*it)[1].str() + "}";
    return guids;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: orva_wxs_registry IDL win32|win64 FILE_ID OUTPUT.wxi\n";
        return 2;
    }
    try {
        const auto guids = idlGuids(readFile(argv[1]));
        const std::string platform = argv[2], fileId = argv[3];
        const std::map<std::string, std::string> names{{"%CLSID%", "ActivexORVA"},
                                                       {"%LIBID%", "ActiveX_ORVA"},
                                                       {"%IID_DUAL%", "_ActivexORVA"},
                                                       {"%IID_EVENTS%", "__ActivexORVA"}};
        auto expand = [&](std::string_view text) {
            std::string result(text);
            for (const auto& [placeholder, name] : names) {
                const auto guid = guids.find(name);
                if (guid == guids.end()) throw std::runtime_error("no uuid for " + name + " in the IDL");
                replaceAll(result, placeholder, guid->second);
            }
            // Formatted installer texts: the file's installed path, the folder.
            replaceAll(result, "%MODULE_DIR%", "[INSTALLDIR]");
            replaceAll(result, "%MODULE%", "[#" + fileId + "]");
            replaceAll(result, "%PLATFORM%", platform);
            return result;
        };

        std::ostringstream out;
        out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
               "<!-- Generated from control/ocx/registration_table.h; do not edit. -->\n<Include>\n";
        for (const auto& row : orva::ocx::registry::kRows) {
            const std::string value = expand(row.value);
            out << "  <RegistryValue Root=\"HKCR\" Key=\"" << xmlEscaped(expand(row.key)) << '"';
            if (!row.name.empty()) out << " Name=\"" << xmlEscaped(std::string(row.name)) << '"';
            // The installer cannot store an empty text: it creates the key instead.
            if (value.empty())
                out << " Name=\"+\" Value=\"\"";
            else
                out << " Value=\"" << xmlEscaped(value) << '"';
            out << " Type=\"string\"/>\n";
        }
        out << "</Include>\n";
        std::ofstream file(argv[4], std::ios::binary);
        file << out.str();
        if (!file.flush()) throw std::runtime_error(std::string("cannot write ") + argv[4]);
    } catch (const std::exception& failure) {
        std::cerr << "orva_wxs_registry: " << failure.what() << '\n';
        return 1;
    }
    return 0;
}
