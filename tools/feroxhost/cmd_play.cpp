// play: a WAV, DSF or DFF file through a driver.
#include "commands.h"
#include "player.h"

namespace ferox::host {
namespace {

class FileFeed final : public Source {
  public:
    explicit FileFeed(AudioReader& r) : m_reader(r) {}
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        if (m_reader.Info().encoding == Encoding::Pcm) {
            return m_reader.ReadPcm(static_cast<std::int32_t*>(left),
                                    static_cast<std::int32_t*>(right), units);
        }
        return m_reader.ReadDsd(static_cast<std::uint8_t*>(left), static_cast<std::uint8_t*>(right),
                                units);
    }

  private:
    AudioReader& m_reader;
};

int PlayFile(const Args& args) {
    const std::wstring& driver = args.driver;
    const std::string& path = args.rest[0];
    FileSource file;
    std::string why;
    if (!file.Open(path, &why))
        return Error("cannot open '%s': %s", path.c_str(), why.c_str());
    AudioReader reader;
    const AudioStatus s = reader.Open(file);
    if (!s.ok()) {
        return Error("cannot play '%s': %s: %s", path.c_str(), ErrorName(s.error),
                     s.message.c_str());
    }
    if (reader.Info().frames == 0)
        return Error("'%s' holds no audio", path.c_str());
    FileFeed feed(reader);
    const int rc = Play(driver, feed, reader.Info(), path.c_str());
    if (rc == 0 && !reader.Status().ok()) {
        return Error("reading '%s' failed: %s", path.c_str(), reader.Status().message.c_str());
    }
    return rc;
}

}  // namespace

const Command kPlayCommand{"play",
                           "play [--driver NAME] FILE      (WAV 16/24/32-bit PCM, DSF, DFF)",
                           kOptionDriver,
                           1,
                           1,
                           &PlayFile};

}  // namespace ferox::host
