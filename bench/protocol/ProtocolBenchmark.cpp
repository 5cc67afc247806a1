// The request builder against a plain read of the same file, and the answer
// parser on a typical page and on a 1 MiB one. Figures are bytes per second.

#include "modTarnwick.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The largest image the window accepts.
constexpr std::size_t kImageSize = 3145727;
constexpr std::size_t kLargePageSize = 1 << 20;

std::string g_imagePath;

std::string MakeImage()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-bench-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        std::abort();
    std::string bytes(kImageSize, '\0');
    std::mt19937 engine(7);
    for (char& byte : bytes)
        byte = static_cast<char>(engine());
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    close(fd);
    return pattern;
}

// What any program must do to hold the file: open, length, read into a string, close.
std::string PlainRead(const std::string& path)
{
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status = {};
    if (fd < 0 || fstat(fd, &status) != 0)
        return bytes;
    bytes.resize(static_cast<std::size_t>(status.st_size));
    const ssize_t got = read(fd, bytes.data(), bytes.size());
    close(fd);
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
}

void PlainReadOfTheImage(benchmark::State& state)
{
    for (auto _ : state) {
        std::string bytes = PlainRead(g_imagePath);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(PlainReadOfTheImage);

void BuildUploadRequestOfTheImage(benchmark::State& state)
{
    const auto mode = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        modTarnwick::UploadRequest request = modTarnwick::BuildUploadRequest(g_imagePath, mode, true);
        if (request.empty()) {
            state.SkipWithError("the build failed");
            break;
        }
        benchmark::DoNotOptimize(request.front().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(BuildUploadRequestOfTheImage)->ArgName("mode")->Arg(0)->Arg(1);

const std::string kLinkSections = R"page(<div class="codes"><p>Please use clickable thumbnail codes:</p>
<input type="text" onclick="this.select()" value="&lt;a href=&quot;http://www.tarnwick.test/i/4821/cat.jpg&quot;&gt;&lt;img src=&quot;http://t.tarnwick.test/4821/cat.th.jpg&quot; border=&quot;0&quot;/&gt;&lt;/a&gt;" /> Thumbnail for Websites<br />
<input type="text" onclick="this.select()" value="[URL=http://www.tarnwick.test/i/4821/cat.jpg][IMG]http://t.tarnwick.test/4821/cat.th.jpg[/IMG][/URL]" /> Thumbnail for forums (1)<br />
<input type="text" onclick="this.select()" value="[url=http://www.tarnwick.test/i/4821/cat.jpg][img=http://t.tarnwick.test/4821/cat.th.jpg][/url]" /> Thumbnail for forums (2)<br />
<p>Include details (title, size) in the codes below:</p>
<input type="text" style="width: 500px" size="70" value="[URL=http://www.tarnwick.test/][IMG]http://i.tarnwick.test/4821/cat.jpg[/IMG][/URL]"/> Hotlink for forums (1)<br />
<input type="text" style="width: 500px" size="70" value="[url=http://www.tarnwick.test/][img=http://i.tarnwick.test/4821/cat.jpg][/url]"/> Hotlink for forums (2)<br />
<input type="text" style="width: 500px" size="70" value="&lt;a href=&quot;http://www.tarnwick.test/&quot;&gt;&lt;img src=&quot;http://i.tarnwick.test/4821/cat.jpg&quot;/&gt;&lt;/a&gt;"/> Hotlink for Websites<br />
<a href="http://www.tarnwick.test/i/4821/cat.jpg"><b>Show</b></a> image to friends<br />
<input type="text" style="width: 500px" size="70" value="http://i.tarnwick.test/4821/cat.jpg"/> Direct link to image
</div>
)page";

// One entry of the gallery of recent uploads that the service lists around the links.
const std::string kGalleryEntry =
    R"page(<div class="recent"><a href="http://www.tarnwick.test/i/5310/sunset.png"><img src="http://t.tarnwick.test/5310/sunset.th.png" alt="sunset.png" width="150" height="112" /></a><br /><span class="size">1024 x 768, 212 KB</span> <input type="text" value="http://i.tarnwick.test/5310/sunset.png" /></div>
)page";

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                          "<!DOCTYPE html>\n<html><head><title>Tarnwick - your image</title></head>\n<body>\n";
const std::string kTail = "</body></html>\n";

// The links with the gallery on both sides, filled up to `size` bytes.
std::string Page(std::size_t size)
{
    std::string gallery;
    const std::size_t fixed = kHead.size() + kLinkSections.size() + kTail.size();
    while (fixed + 2 * (gallery.size() + kGalleryEntry.size()) <= size)
        gallery += kGalleryEntry;
    std::string page = kHead + gallery + kLinkSections + gallery + kTail;
    page.resize(std::max(page.size(), size), '\n');
    return page;
}

void ParseResultPageOf(benchmark::State& state, const std::string& page)
{
    for (auto _ : state) {
        modTarnwick::LinkSet links = modTarnwick::ParseResultPage(page);
        if (links.size() != 8 || links[7].empty()) {
            state.SkipWithError("the page did not parse");
            break;
        }
        benchmark::DoNotOptimize(links.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}
BENCHMARK_CAPTURE(ParseResultPageOf, typical_page,
                  Page(kHead.size() + kLinkSections.size() + kTail.size() + 4 * kGalleryEntry.size()));
BENCHMARK_CAPTURE(ParseResultPageOf, page_of_1MiB, Page(kLargePageSize));

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    g_imagePath = MakeImage();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(g_imagePath.c_str());
    return 0;
}
