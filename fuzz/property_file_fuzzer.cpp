// The Linux hosts keep a control's document in a property text file that
// people may edit, so any bytes can be in it. Loading it either gives the
// control its values or fails with a PropertyFileError carrying a conversion
// error number; a file that is not well formed gives the control nothing.
// What loaded saves to a file that loads back to the same record, and saving
// that again writes the same bytes.
//
// Input: the whole file. Its bytes also serve as a text value, and its first
// eight as a number, for the value forms on their own.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "control/activex_orva.h"
#include "fuzz/fuzz_support.h"
#include "platform/failure.h"
#include "hosts/property_file.h"
#include "tests/support/virtual_platform.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::fuzz;
using namespace orva::virtual_time;

struct ControlOnLine {
    VirtualPlatform platform;
    ActivexORVA control{platform.controlPlatform()};
};

// The file under test, in memory where there is a memory file system; it
// goes when the process ends.
struct ScratchFile {
    ScratchFile() {
        namespace fs = std::filesystem;
        const fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        path = (dir / ("orva-fuzz-" + std::to_string(getpid()) + ".properties")).string();
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::string path;
};

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool conversionNumber(std::int32_t number) {
    return number == static_cast<std::int32_t>(FailureNumber::TypeMismatch) ||
           number == static_cast<std::int32_t>(FailureNumber::Overflow);
}

// A value written by save reads back as the same value of the same type.
void checkValueForms(FuzzInput& in, const std::string& text) {
    using host::PropertyFile;
    require(PropertyFile::parseValue(PropertyFile::formatValue(text)) == PropertyValue{text},
            "a text reads back from its saved form", shown(text.substr(0, 40)));
    const std::int32_t integer = in.int32();
    require(PropertyFile::parseValue(PropertyFile::formatValue(integer)) == PropertyValue{integer},
            "an integer reads back from its saved form");
    FuzzInput again(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const double number = again.float64();
    if (std::isfinite(number)) {
        const PropertyValue back = PropertyFile::parseValue(PropertyFile::formatValue(number));
        require(back == PropertyValue{number}, "a number reads back from its saved form",
                PropertyFile::formatValue(number));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile scratch;
    const std::string& path = scratch.path;
    const std::string content(reinterpret_cast<const char*>(data), size);
    FuzzInput in(data, size);
    checkValueForms(in, content);

    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }

    ControlOnLine first;
    host::PropertyFile file(path);
    bool handedOver = false;
    bool loaded = false;
    try {
        file.load([&](PropertyBag& bag) {
            handedOver = true;
            first.control.ReadProperties(bag);
        });
        loaded = true;
    } catch (const host::PropertyFileError& error) {
        require(conversionNumber(error.number()), "a load fails with a conversion error number", error.what());
        require(std::string(error.what()).rfind(path, 0) == 0, "the load error names the file", error.what());
    }
    // Anything else escapes and ends the run as a crash.
    if (!handedOver) require(first.control.properties() == PropertyRecord{}, "a malformed file gives the control nothing");
    if (!loaded) return 0;

    // What loaded saves and loads back, and saves to the same bytes again.
    file.save([&](PropertyBag& bag) { first.control.WriteProperties(bag); });
    const std::string saved = contentOf(path);
    ControlOnLine second;
    host::PropertyFile reopened(path);
    try {
        reopened.load([&](PropertyBag& bag) { second.control.ReadProperties(bag); });
    } catch (const host::PropertyFileError& error) {
        broken("a saved file loads again", error.what());
    }
    require(second.control.properties() == first.control.properties(), "a save then a load gives the same record");
    reopened.save([&](PropertyBag& bag) { second.control.WriteProperties(bag); });
    require(contentOf(path) == saved, "saving the reloaded file writes the same bytes", shown(saved.substr(0, 200)));
    return 0;
}
