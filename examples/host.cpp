// A C++ host through zrregdll.hpp: records a window's place, reads the product's facts, lists keys.
// Usage: host REGISTRY_FILE
#include <cstdio>
#include <zrregdll.hpp>

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: host REGISTRY_FILE\n"), 2;
    try {
        zrreg::registry reg(argv[1]);
        zrreg::key window = reg.create("HKCU\\Software\\MORVANE\\Ardo\\1.0\\Window");
        window.set("Left", -1920);
        window.set("Title", "Ardo Studio");
        zrreg::key product = reg.open("HKLM/Software/MORVANE/Ardo/1.0");
        std::printf("%s, %d seats\n", product.get_string("ProductName").value_or("?").c_str(),
                    product.get_int("Seats").value_or(1));
        for (const zrreg::value& v : window.values())
            std::printf("  %s = %s\n", v.name.c_str(),
                        v.is_string() ? v.text().c_str() : std::to_string(int32_t(v.dword())).c_str());
        for (const std::string& name : product.open("Components").subkeys())
            std::printf("  %s\n", name.c_str());
    } catch (const zrreg::error& e) {
        return std::fprintf(stderr, "host: %s\n", e.what()), 1;
    }
}
