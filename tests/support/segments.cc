#include "support/segments.h"

#include <fstream>
#include <sstream>

std::vector<Segment> LoadSegments(const std::string& relPath) {
    std::ifstream in(std::string(SMBAUDIT_TEST_DATA) + "/" + relPath);
    std::vector<Segment> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string dir, hex;
        fields >> dir >> hex;
        Segment s{dir == "C", {}};
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            s.payload.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
        out.push_back(std::move(s));
    }
    return out;
}

void ReplaySegments(Conn& c, const std::vector<Segment>& segs) {
    uint32_t t = 1;
    for (const Segment& s : segs) {
        c.now = CTimeStamp32(t++, 0);
        c.Feed(s.payload, s.fromClient);
    }
}
