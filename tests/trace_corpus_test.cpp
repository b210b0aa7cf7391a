// The trace corpus: every log (or record folder) under tests/traces/corpus/ and every sample in
// tests/traces/, read and compared whole with the answer beside it (the layout or the error, the
// findings, the timeline and the picture's lanes). KQ5_UPDATE_GOLDENS=1 writes the answers again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "drain.h"
#include "picture/picture.h"
#include "picture/timeline.h"
#include "tracereader/read.h"

namespace {

namespace fs = std::filesystem;

// What the reader makes of LOG, as the expected file holds it.
std::string Answer(const fs::path& log) {
    const TraceReport r = ReadTracePath(log);
    if (!r.ok) {
        return "error: " + r.error + "\n";
    }
    return "layout: " + r.layout + "\n\n" + FormatFindings(r.findings) + "\nTimeline:\n" +
           TimelineText(r.timeline) + "\nLanes:\n" + LanesText(r.picture);
}

TEST(TraceCorpus, EveryLogReadsAsItsExpectedAnswer) {
    const bool update = std::getenv("KQ5_UPDATE_GOLDENS") != nullptr;
    const fs::path samples(KQ5_TRACE_SAMPLES);
    size_t cases = 0;
    for (const fs::path& folder : {samples, samples / "corpus"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            const fs::path log = entry.path();
            const bool recordFolder = entry.is_directory() && folder != samples;
            if (log.extension() != ".log" && log.extension() != ".dblog" && !recordFolder) {
                continue;
            }
            ++cases;
            const fs::path expected = fs::path(log).replace_extension(".expected");
            const std::string answer = Answer(log);
            if (update) {
                std::ofstream(expected, std::ios::binary) << answer;
                continue;
            }
            EXPECT_EQ(answer, FileText(expected)) << log.filename();
        }
    }
    EXPECT_GE(cases, 80u);
}

}  // namespace
