// The user sets of the software device: Default (set 0, the image format and the application's
// Streamable features as the start found them) and UserSet1 to UserSetN (SetUserSetCount), each a
// record of the values of the features a save was told to store (UserSetFeatureEnable): the image
// format's, for every stream channel, and the application's Streamable features over registers
// (GenApiFactory::Streamable), whose registers' bytes are copied as they are, whatever their length.
//
// A controller drives them through registers the device serves (UserSetRegisters): a save of set
// k >= 1 tells the notification (SaveStart, k), offers each register with event sinks to their
// Persist (what they save through the store goes into the set), reads each stored feature through
// the engine's local read and the application's features' registers through their read path (their
// sinks' PreRead and PostRead), writes the store and tells (SaveCompleted, k); a load tells
// (LoadStart, k), offers the registers with sinks the values they saved, writes the image format's
// values through the engine's local write, then the application's features' bytes through their
// registers' write path (as a controller's write: their sinks' PreWrite may refuse, PostWrite follows),
// and tells (LoadCompleted, k). A feature whose register a sink persisted is its sink's: it is neither
// stored nor written raw. A sink's failure fails the command. Default (set 0) holds no value of the
// sinks': its load offers nothing to them. A start state the
// notification does not answer OK (or that throws) ends the command with an error for the
// controller and no completed state; the answer to a completed state is not looked at.
//
// The store: one directory per serial number, $XDG_DATA_HOME/kivo/usersets/<serial>/ (the data home
// is ~/.local/share when XDG_DATA_HOME is unset or not absolute), holding UserSet<k>.txt for each
// saved set and UserSetDefault.txt naming the set a start loads. Each file is text, written whole
// to a temporary file in the directory and renamed over the old one, so that a reader finds the old
// or the new file and never a part; a store that cannot be written fails the command and changes
// nothing. A user's settings are the user's: the data home is made 0700 where missing (a link in its
// own path is the user's choice and followed), and from it on kivo, usersets and the serial number's
// folder are made 0700 and files 0600 whatever the umask, each opened relative to the one above it
// without following a link, so that neither a save nor a load ever reaches outside the store. Such a
// folder that exists already is taken only when it is the user's own, and is tightened to 0700 when
// others could reach it; one of someone else's fails the save or the load. A load takes a regular
// file of the user's of at most kMaxSetFile bytes that no one else may write, opened without waiting
// (a FIFO is refused at once), and parses it in time linear in its size; anything else fails the
// load. A set file reads
//     # kivo user set
//     Width 0 640
//     PixelFormat 0 17301505
//     register Gain_0 0000000a
//     custom Exposure device 000003e8
//     custom Level 1 00000000000000ff
// one line per stored image format feature: its name, the stream channel and the value in decimal;
// one per value a register's sink stored: "register", the name (the register's and the sink's
// suffix, its bytes outside '!' to '~' and '%' written as %XX) and the bytes in hexadecimal; and one
// per register of an application's feature: "custom", the feature's name (written as those names
// are), whose register it is ("device", or the number of the stream source that made it) and its
// bytes in hexadecimal. A load passes over the "custom" lines of features the device no longer
// describes as Streamable (a set an earlier start saved); the bytes of one it has must fit its register.
#include "TqSoftDeviceImpl.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TqSoftDevice {

namespace {

constexpr uint16_t kAccessDenied = TqEngine::Gvcp::kAccessDenied;
constexpr uint16_t kError = TqEngine::Gvcp::kError;
constexpr uint16_t kInvalidParameter = TqEngine::Gvcp::kInvalidParameter;
constexpr uint16_t kSuccess = TqEngine::Gvcp::kSuccess;
using TqEngine::UserSetRegister;

constexpr uint32_t kFeatures = uint32_t(TqEngine::kUserSetFeatures.size());

// One stored value: a feature (an index of kUserSetFeatures) of a channel.
struct Value {
    uint32_t feature = 0, channel = 0, value = 0;
};
using Values = std::vector<Value>;

// The bytes of one register of an application's Streamable feature: the feature, and whose register
// it is (GenApiFactory::kDevice or a stream source's index).
struct Raw {
    std::string feature;
    int scope = GenApiFactory::kDevice;
    std::vector<uint8_t> bytes;
};
using Raws = std::vector<Raw>;

// What a set file holds: the image format's values, the values the registers' sinks stored and the
// bytes of the application's features.
struct Contents {
    Values features;
    StoredValues registers;
    Raws custom;
};

constexpr const char* kRegisterLine = "register";
constexpr const char* kCustomLine = "custom";
constexpr const char* kDeviceScope = "device";

// ---- the store ----

// A file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int aFd = -1) : mFd(aFd) {}
    Descriptor(Descriptor&& aOther) noexcept : mFd(std::exchange(aOther.mFd, -1)) {}
    Descriptor& operator=(Descriptor&& aOther) noexcept {
        std::swap(mFd, aOther.mFd);
        return *this;
    }
    ~Descriptor() { Close(); }
    explicit operator bool() const { return mFd >= 0; }
    int Get() const { return mFd; }
    // Whether the close succeeded (a write's last error may show there).
    bool Close() { return mFd < 0 || close(std::exchange(mFd, -1)) == 0; }

private:
    int mFd;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A directory name made of a serial number: '/', control characters and a leading '.' become '_'.
std::string DirectoryName(const std::string& aSerial) {
    std::string name = aSerial.empty() ? "_" : aSerial;
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    if (name[0] == '.') name[0] = '_';
    return name;
}

// The data home; empty when there is none.
std::string DataHome() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return data;
    const char* user = std::getenv("HOME");
    if (!user || user[0] != '/') return "";
    return std::string(user) + "/.local/share";
}

// The data home opened; with aMake its missing folders are made first (0700).
Descriptor OpenHome(const std::string& aHome, bool aMake) {
    for (size_t at = 1; aMake && at <= aHome.size(); ++at) {
        if (at < aHome.size() && aHome[at] != '/') continue;
        const std::string part = aHome.substr(0, at);
        if (mkdir(part.c_str(), 0700) == 0) chmod(part.c_str(), 0700);   // whatever the umask took
    }
    return Descriptor(open(aHome.c_str(), kFolderFlags));
}

// The folder aName within aParent, never through a link; with aMake made first (0700) when missing.
// Only a folder of the user's own is taken, and only as 0700: one that others may reach (write, or
// read) is tightened first, since nobody else may add, replace or read a set; one that belongs to
// someone else is refused whatever its mode.
Descriptor OpenFolder(const Descriptor& aParent, const std::string& aName, bool aMake) {
    if (aMake) mkdirat(aParent.Get(), aName.c_str(), 0700);
    Descriptor folder(openat(aParent.Get(), aName.c_str(), kFolderFlags | O_NOFOLLOW));
    struct stat info {};
    if (!folder || fstat(folder.Get(), &info) != 0 || info.st_uid != geteuid()) return Descriptor();
    if ((info.st_mode & 07777) != 0700 && fchmod(folder.Get(), 0700) != 0) return Descriptor();
    return folder;
}

// The folder of a serial number's sets (with aMake made where missing); closed when it cannot be reached.
Descriptor OpenStore(const std::string& aSerial, bool aMake) {
    const std::string home = DataHome();
    if (home.empty()) return Descriptor();
    Descriptor folder = OpenHome(home, aMake);
    for (const std::string& name : {std::string("kivo"), std::string("usersets"), DirectoryName(aSerial)})
        if (folder) folder = OpenFolder(folder, name, aMake);
    return folder;
}

// Writes aText as aName in the serial number's folder: a temporary file (0600) written whole, then
// renamed over aName (a link of that name is replaced, never followed). False, and nothing changed,
// when any step fails.
bool WriteStored(const std::string& aSerial, const std::string& aName, const std::string& aText) {
    static std::atomic<uint32_t> made{0};
    const Descriptor folder = OpenStore(aSerial, true);
    if (!folder) return false;
    const std::string temporary = aName + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(made++);
    Descriptor file(openat(folder.Get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return false;
    bool written = fchmod(file.Get(), 0600) == 0;
    for (size_t at = 0; written && at < aText.size();) {
        const ssize_t n = write(file.Get(), aText.data() + at, aText.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) at += size_t(n);
    }
    written = fsync(file.Get()) == 0 && written;
    written = file.Close() && written;
    if (written && renameat(folder.Get(), temporary.c_str(), folder.Get(), aName.c_str()) == 0) return true;
    unlinkat(folder.Get(), temporary.c_str(), 0);
    return false;
}

// The text of aName in the serial number's folder: none unless it is a regular file of at most
// kMaxSetFile bytes that the user owns and nobody else may write (what a folder open to others
// received before it was tightened is not the user's). Nothing waits: a FIFO opens at once (and is
// refused), a link is not followed.
std::optional<std::string> ReadStored(const std::string& aSerial, const std::string& aName) {
    const Descriptor folder = OpenStore(aSerial, false);
    if (!folder) return std::nullopt;
    const Descriptor file(openat(folder.Get(), aName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!file || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) > kMaxSetFile ||
        info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)))
        return std::nullopt;
    std::string text;
    text.reserve(size_t(info.st_size));
    std::array<char, 65536> chunk;
    for (;;) {   // the file may have grown meanwhile: no more than the bound is taken
        const ssize_t n = read(file.Get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + size_t(n) > kMaxSetFile) return std::nullopt;
        if (n == 0) return text;
        text.append(chunk.data(), size_t(n));
    }
}

std::string SetFile(uint32_t aSet) { return "UserSet" + std::to_string(aSet) + ".txt"; }
constexpr const char* kDefaultFile = "UserSetDefault.txt";

std::string SetName(uint32_t aSet) { return aSet ? "UserSet" + std::to_string(aSet) : "Default"; }

constexpr char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A stored value's name as one word of a line: bytes outside '!' to '~', and '%', as %XX.
std::string Escaped(const std::string& aName) {
    std::string word;
    for (const char c : aName) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && c != '%') {
            word += c;
        } else {
            word += '%';
            word += kHex[byte >> 4];
            word += kHex[byte & 15];
        }
    }
    return word;
}

std::optional<std::string> Unescaped(std::string_view aWord) {
    std::string name;
    for (size_t at = 0; at < aWord.size(); ++at) {
        if (aWord[at] != '%') {
            name += aWord[at];
            continue;
        }
        const int high = at + 2 < aWord.size() ? HexDigit(aWord[at + 1]) : -1;
        const int low = high >= 0 ? HexDigit(aWord[at + 2]) : -1;
        if (low < 0) return std::nullopt;
        name += char(high << 4 | low);
        at += 2;
    }
    return name;
}

std::optional<std::vector<uint8_t>> Unhexed(std::string_view aWord) {
    if (aWord.empty() || aWord.size() % 2) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t at = 0; at < aWord.size(); at += 2) {
        const int high = HexDigit(aWord[at]), low = HexDigit(aWord[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(uint8_t(high << 4 | low));
    }
    return bytes;
}

std::string Hexed(const std::vector<uint8_t>& aBytes) {
    std::string word;
    for (const uint8_t byte : aBytes) {
        word += kHex[byte >> 4];
        word += kHex[byte & 15];
    }
    return word;
}

std::string Format(const Contents& aContents) {
    std::string text = "# kivo user set\n";
    for (const Value& v : aContents.features)
        text += std::string(TqEngine::kUserSetFeatures[v.feature]) + " " + std::to_string(v.channel) + " " +
                std::to_string(v.value) + "\n";
    for (const auto& [name, bytes] : aContents.registers)
        text += std::string(kRegisterLine) + " " + Escaped(name) + " " + Hexed(bytes) + "\n";
    for (const Raw& raw : aContents.custom) {
        const std::string scope = raw.scope == GenApiFactory::kDevice ? kDeviceScope : std::to_string(raw.scope);
        text += std::string(kCustomLine) + " " + Escaped(raw.feature) + " " + scope + " " + Hexed(raw.bytes) + "\n";
    }
    return text;
}

constexpr std::string_view kSpace = " \t\n\v\f\r";   // what text streams skip

// The words of aLine, split at white space, into aWords.
void Split(std::string_view aLine, std::vector<std::string_view>& aWords) {
    aWords.clear();
    for (size_t at = aLine.find_first_not_of(kSpace); at != std::string_view::npos;
         at = aLine.find_first_not_of(kSpace, at)) {
        const size_t end = std::min(aLine.find_first_of(kSpace, at), aLine.size());
        aWords.push_back(aLine.substr(at, end - at));
        at = end;
    }
}

// A word of decimal digits whose value is at most aMax.
bool Decimal(std::string_view aWord, uint64_t aMax, uint64_t& aValue) {
    if (aWord.empty()) return false;
    aValue = 0;
    for (const char c : aWord) {
        if (c < '0' || c > '9') return false;
        aValue = aValue * 10 + uint64_t(c - '0');
        if (aValue > aMax) return false;
    }
    return true;
}

using Words = std::vector<std::string_view>;

// A register line's name and bytes into aStored; false when malformed or a repeat.
bool ParseRegister(const Words& aWords, StoredValues& aStored) {
    if (aWords.size() != 3) return false;
    const std::optional<std::string> name = Unescaped(aWords[1]);
    std::optional<std::vector<uint8_t>> bytes = Unhexed(aWords[2]);
    return name && bytes && aStored.emplace(*name, std::move(*bytes)).second;
}

// A word of hexadecimal digit pairs.
bool Hex(std::string_view aWord) {
    return !aWord.empty() && aWord.size() % 2 == 0 &&
           std::all_of(aWord.begin(), aWord.end(), [](char c) { return HexDigit(c) >= 0; });
}

// Keys (a name and a number) seen so far, in a table of open addressing sized once for all that
// can come (at most aCount keys, half its slots at most): whether a key is new costs one probe or a
// few, and no allocation.
class FirstSeen {
public:
    explicit FirstSeen(size_t aCount) {
        size_t slots = 16;
        while (slots < 2 * aCount) slots *= 2;
        mSlots.assign(slots, Slot{});
        mKeys.reserve(aCount);
    }
    // Whether (aName, aNumber) is new; aName must live as long as the table.
    bool First(std::string_view aName, int aNumber) {
        const uint64_t hash = Hash(aName, aNumber);
        for (size_t at = hash & (mSlots.size() - 1);; at = (at + 1) & (mSlots.size() - 1)) {
            Slot& slot = mSlots[at];
            if (slot.key == 0) {
                mKeys.emplace_back(aName, aNumber);
                slot = {uint32_t(hash >> 32), uint32_t(mKeys.size())};
                return true;
            }
            if (slot.tag != uint32_t(hash >> 32)) continue;
            const auto& [name, number] = mKeys[slot.key - 1];
            if (number == aNumber && name == aName) return false;
        }
    }

private:
    struct Slot {
        uint32_t tag = 0;   // the hash's high half
        uint32_t key = 0;   // 1 + its index in mKeys; 0: empty
    };
    static uint64_t Hash(std::string_view aName, int aNumber) {
        return std::hash<std::string_view>()(aName) ^ (uint64_t(uint32_t(aNumber)) + 1) * 0x9E3779B97F4A7C15ull;
    }
    std::vector<Slot> mSlots;
    std::vector<std::pair<std::string_view, int>> mKeys;
};

// The custom lines of one file: the features the device describes (their Raws), and every line's
// feature and scope, so that a repeat is found in constant time however many lines came before. A
// feature's name is seen where it lies in the text, or (escaped there) in a copy of its own; a line
// of a feature the device does not describe costs no more than that.
class Customs {
public:
    Customs(const std::vector<StreamableFeature>& aDescribed, size_t aLines) : mSeen(aLines) {
        for (const StreamableFeature& feature : aDescribed) mDescribed.insert(feature.name);
    }
    // A custom line (its words): false when malformed or a repeat.
    bool Take(const Words& aWords, Raws& aRaws) {
        if (aWords.size() != 4 || !Hex(aWords[3])) return false;
        uint64_t scope = uint64_t(GenApiFactory::kDevice);
        if (aWords[2] != kDeviceScope && (aWords[2].size() > 9 || !Decimal(aWords[2], 999999999, scope))) return false;
        std::string_view name = aWords[1];
        if (name.find('%') != std::string_view::npos) {
            const std::optional<std::string> unescaped = Unescaped(name);
            if (!unescaped) return false;
            name = mOwned.emplace_back(*unescaped);
        }
        if (!mSeen.First(name, int(scope))) return false;
        if (mDescribed.count(name)) aRaws.push_back({std::string(name), int(scope), *Unhexed(aWords[3])});
        return true;
    }

private:
    FirstSeen mSeen;   // of at most one key a line
    std::unordered_set<std::string_view> mDescribed;
    std::deque<std::string> mOwned;   // names unescaped (a deque keeps them where they are)
};

// What a set file holds, of the custom features those aDescribed; none when a line is neither a
// register's value, nor a custom feature's, nor one of an image format feature of a channel the
// device has, or repeats an earlier one's. Linear in the text's length.
std::optional<Contents> Parse(const std::string& aText, uint32_t aChannels,
                              const std::vector<StreamableFeature>& aDescribed) {
    Contents contents;
    Customs customs(aDescribed, size_t(std::count(aText.begin(), aText.end(), '\n')) + 1);
    std::vector<bool> featureSeen(size_t(kFeatures) * aChannels);
    Words words;
    for (size_t at = 0; at < aText.size();) {
        const size_t end = std::min(aText.find('\n', at), aText.size());
        const std::string_view line(aText.data() + at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        Split(line, words);
        if (words.empty()) return std::nullopt;
        if (words[0] == kRegisterLine) {
            if (!ParseRegister(words, contents.registers)) return std::nullopt;
            continue;
        }
        if (words[0] == kCustomLine) {
            if (!customs.Take(words, contents.custom)) return std::nullopt;
            continue;
        }
        uint64_t channel = 0, value = 0;
        if (words.size() != 3 || !Decimal(words[1], UINT32_MAX, channel) || !Decimal(words[2], UINT32_MAX, value) ||
            channel >= aChannels)
            return std::nullopt;
        uint32_t feature = 0;
        while (feature < kFeatures && words[0] != TqEngine::kUserSetFeatures[feature]) ++feature;
        if (feature == kFeatures) return std::nullopt;
        const size_t seen = size_t(channel) * kFeatures + feature;
        if (featureSeen[seen]) return std::nullopt;
        featureSeen[seen] = true;
        contents.features.push_back({feature, uint32_t(channel), uint32_t(value)});
    }
    return contents;
}

// The set a start loads, as UserSetDefault.txt names it (Default when it names none of 0 to aCount).
uint32_t StoredDefault(const std::string& aSerial, uint32_t aCount) {
    const std::optional<std::string> text = ReadStored(aSerial, kDefaultFile);
    if (!text) return 0;
    const std::string_view all(*text);
    const size_t begin = std::min(all.find_first_not_of(kSpace), all.size());
    const std::string_view name = all.substr(begin, all.find_first_of(kSpace, begin) - begin);   // its first word
    for (uint32_t k = 1; k <= aCount; ++k)
        if (name == SetName(k)) return k;
    return 0;
}

// ---- the registers of the engine device ----

// Whether aName is among aHandled (the registers a sink persisted).
bool Handled(const std::vector<std::string>& aHandled, const std::string& aName) {
    return std::find(aHandled.begin(), aHandled.end(), aName) != aHandled.end();
}

// The image format features aEnabled names (by the selector's value) of every channel, through the
// engine's local read.
bool ReadValues(TqEngine::Device& aDevice, uint32_t aChannels, const std::vector<bool>& aEnabled, Values& aValues) {
    aValues.clear();
    for (uint32_t channel = 0; channel < aChannels; ++channel)
        for (uint32_t feature = 0; feature < kFeatures; ++feature) {
            if (!aEnabled[feature]) continue;
            Value v{feature, channel, 0};
            if (aDevice.ReadRegister(TqEngine::Reg::Format(channel, TqEngine::kUserSetRegisters[feature]), v.value) !=
                kSuccess)
                return false;
            aValues.push_back(v);
        }
    return true;
}

// aValues without those whose register (the feature's name and the channel's number) a sink persisted.
Values Unhandled(Values aValues, const std::vector<std::string>& aHandled) {
    std::erase_if(aValues, [&](const Value& v) {
        return Handled(aHandled, TqEngine::kUserSetFeatures[v.feature] + std::to_string(v.channel));
    });
    return aValues;
}

// The bytes of the registers of the application's features aEnabled names (UserSetFeatureValue(n) for
// aFeatures[n]), each through its register's read path, but for those a sink persisted.
bool ReadCustom(Space& aSpace, const std::vector<StreamableFeature>& aFeatures, const std::vector<bool>& aEnabled,
                const std::vector<std::string>& aHandled, Raws& aRaws) {
    aRaws.clear();
    for (size_t n = 0; n < aFeatures.size(); ++n) {
        if (!aEnabled[TqEngine::UserSetFeatureValue(n)]) continue;
        for (const StreamableFeature::Place& place : aFeatures[n].registers) {
            Register* reg = aSpace.Find(place.address);
            if (!reg) return false;
            if (Handled(aHandled, reg->Name())) continue;
            Raw raw{aFeatures[n].name, place.scope, std::vector<uint8_t>(place.length)};
            if (!reg->ReadAt(raw.bytes.data(), 0, place.length).IsOK()) return false;
            aRaws.push_back(std::move(raw));
        }
    }
    return true;
}

// The registers aRaws go to and their bytes; a feature or register the device does not describe is
// passed over. None when bytes do not fit their register.
using Writes = std::vector<std::pair<Register*, const std::vector<uint8_t>*>>;
std::optional<Writes> CustomWrites(Space& aSpace, const std::vector<StreamableFeature>& aFeatures, const Raws& aRaws) {
    std::unordered_map<std::string_view, const StreamableFeature*> byName;
    for (const StreamableFeature& f : aFeatures) byName.emplace(f.name, &f);
    Writes writes;
    for (const Raw& raw : aRaws) {
        const auto found = byName.find(raw.feature);
        if (found == byName.end()) continue;
        const StreamableFeature* feature = found->second;
        const auto place = std::find_if(feature->registers.begin(), feature->registers.end(),
                                        [&](const StreamableFeature::Place& p) { return p.scope == raw.scope; });
        if (place == feature->registers.end()) continue;
        Register* reg = aSpace.Find(place->address);
        if (!reg || raw.bytes.size() != place->length) return std::nullopt;
        writes.emplace_back(reg, &raw.bytes);
    }
    return writes;
}

// Writes each register's bytes through its write path, but for the registers a sink persisted.
bool WriteCustom(const Writes& aWrites, const std::vector<std::string>& aHandled) {
    for (const auto& [reg, bytes] : aWrites)
        if (!Handled(aHandled, reg->Name()) && !reg->WriteAt(bytes->data(), 0, uint32_t(bytes->size())).IsOK())
            return false;
    return true;
}

// Writes aValues through the engine's local write. A width may only grow once its offset shrank and
// the other way round, so what a round refuses is tried again while a round gets further.
bool WriteValues(TqEngine::Device& aDevice, Values aValues) {
    while (!aValues.empty()) {
        Values refused;
        for (const Value& v : aValues)
            if (aDevice.WriteRegister(TqEngine::Reg::Format(v.channel, TqEngine::kUserSetRegisters[v.feature]),
                                      v.value) != kSuccess)
                refused.push_back(v);
        if (refused.size() == aValues.size()) return false;
        aValues = std::move(refused);
    }
    return true;
}

}  // namespace

// ---- one start's user sets ----

struct UserSetRun {
    std::mutex lock;   // held through a command, the notification's calls included
    uint32_t count = 0, channels = 0;
    uint32_t selector = 0, defaultSet = 0, featureSelector = 0;
    std::vector<StreamableFeature> custom;   // the application's: UserSetFeatureValue(n) is custom[n]
    std::vector<bool> enabled;   // by the selector's value: whether a save stores the feature
    Contents factory;   // set 0: the image format and the application's features as the start found them
    Values started;     // the image format as the start left it (a full reset brings it back)

    // Whether UserSetFeatureSelector offers aValue.
    bool Selectable(uint32_t aValue) const {
        return aValue < kFeatures ? channels > 0 : aValue - kFeatures < custom.size();
    }
    // Every feature stored, the first the selector offers selected.
    void EnableAll() {
        enabled.assign(kFeatures + custom.size(), true);
        featureSelector = channels == 0 && !custom.empty() ? TqEngine::UserSetFeatureValue(0) : 0;
    }
};

namespace {

// Tells the notification (if any) that aSet reached aState; its answer, a failure when it threw.
TqResult Notify(Core& d, TqUserSetState aState, uint32_t aSet) {
    TqResult answer(TQ_OK);
    if (d.userSetNotify.Each([&](ITqUserSetNotify* aNotify) { answer = aNotify->UserSetStateNotify(aState, aSet); }))
        answer = TqResult(TQ_GENERIC_ERROR);
    return answer;
}

std::string SerialOf(TqEngine::Device& aDevice) { return aDevice.GetIdentity().serial; }

uint16_t Save(Core& d, Run& aRun, UserSetRun& aSets, uint32_t aSet) {
    if (aSet == 0) return kAccessDenied;   // Default is the start's, never saved
    if (!Notify(d, TqUserSetStateSaveStart, aSet).IsOK()) return kError;
    Contents contents;
    std::vector<std::string> handled;
    if (!d.registers.Persist(false, contents.registers, handled).IsOK() ||
        !ReadValues(*aRun.device, aSets.channels, aSets.enabled, contents.features) ||
        !ReadCustom(*aRun.registers, aSets.custom, aSets.enabled, handled, contents.custom))
        return kError;
    contents.features = Unhandled(std::move(contents.features), handled);
    if (!WriteStored(SerialOf(*aRun.device), SetFile(aSet), Format(contents))) return kError;
    Notify(d, TqUserSetStateSaveCompleted, aSet);
    return kSuccess;
}

uint16_t Load(Core& d, Run& aRun, UserSetRun& aSets, uint32_t aSet) {
    if (!Notify(d, TqUserSetStateLoadStart, aSet).IsOK()) return kError;
    std::optional<Contents> contents = aSets.factory;
    if (aSet != 0) {
        const std::optional<std::string> text = ReadStored(SerialOf(*aRun.device), SetFile(aSet));
        contents = text ? Parse(*text, aSets.channels, aSets.custom) : std::nullopt;
    }
    // Nothing is written of a set whose bytes do not fit.
    const std::optional<Writes> custom =
        contents ? CustomWrites(*aRun.registers, aSets.custom, contents->custom) : std::nullopt;
    if (!custom) return kError;
    std::vector<std::string> handled;
    if ((aSet != 0 && !d.registers.Persist(true, contents->registers, handled).IsOK()) ||
        !WriteValues(*aRun.device, Unhandled(std::move(contents->features), handled)) || !WriteCustom(*custom, handled))
        return kError;
    Notify(d, TqUserSetStateLoadCompleted, aSet);
    return kSuccess;
}

// A controller's write of one word of the user-set registers.
uint16_t WriteWord(Core& d, Run& aRun, UserSetRun& aSets, UserSetRegister aRegister, uint32_t aValue) {
    switch (aRegister) {
    case UserSetRegister::kSelector:
        if (aValue > aSets.count) return kInvalidParameter;
        aSets.selector = aValue;
        return kSuccess;
    case UserSetRegister::kLoad: return aValue == 1 ? Load(d, aRun, aSets, aSets.selector) : kSuccess;
    case UserSetRegister::kSave: return aValue == 1 ? Save(d, aRun, aSets, aSets.selector) : kSuccess;
    case UserSetRegister::kDefault:
        if (aValue > aSets.count) return kInvalidParameter;
        if (aValue != aSets.defaultSet && !WriteStored(SerialOf(*aRun.device), kDefaultFile, SetName(aValue) + "\n"))
            return kError;
        aSets.defaultSet = aValue;
        return kSuccess;
    case UserSetRegister::kFeatureSelector:
        if (!aSets.Selectable(aValue)) return kInvalidParameter;
        aSets.featureSelector = aValue;
        return kSuccess;
    case UserSetRegister::kFeatureEnable:
        if (aValue > 1) return kInvalidParameter;
        aSets.enabled[aSets.featureSelector] = aValue != 0;
        return kSuccess;
    default: return TqEngine::Gvcp::kInvalidAddress;
    }
}

uint32_t ReadWord(const UserSetRun& aSets, UserSetRegister aRegister) {
    switch (aRegister) {
    case UserSetRegister::kSelector: return aSets.selector;
    case UserSetRegister::kDefault: return aSets.defaultSet;
    case UserSetRegister::kFeatureSelector: return aSets.featureSelector;
    case UserSetRegister::kFeatureEnable: return aSets.enabled[aSets.featureSelector] ? 1 : 0;
    default: return 0;   // the commands read as done
    }
}

// The registers, served through the device's gate to the start that installed them.
class Registers final : public TqEngine::RegisterHandler {
public:
    explicit Registers(std::shared_ptr<Gate> aGate) : mGate(std::move(aGate)) {}

    uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const TqEngine::Peer&) override {
        return Each(aAddress, aSize, [&](Core&, Run&, UserSetRun& aSets, UserSetRegister aRegister, size_t at) {
            const uint32_t value = ReadWord(aSets, aRegister);
            for (size_t n = 0; n < 4; ++n) aData[at + n] = uint8_t(value >> (24 - 8 * n));
            return kSuccess;
        });
    }
    uint16_t Write(uint32_t aAddress, const uint8_t* aData, size_t aSize, const TqEngine::Peer&) override {
        return Each(aAddress, aSize, [&](Core& d, Run& aRun, UserSetRun& aSets, UserSetRegister aRegister, size_t at) {
            const uint32_t value = uint32_t(aData[at]) << 24 | uint32_t(aData[at + 1]) << 16 |
                                   uint32_t(aData[at + 2]) << 8 | aData[at + 3];
            return WriteWord(d, aRun, aSets, aRegister, value);
        });
    }

private:
    // Runs aWord for each word of the access, in order, until one fails.
    template <class Word>
    uint16_t Each(uint32_t aAddress, size_t aSize, Word aWord) {
        uint16_t status = kError;
        mGate->Enter([&](Core& d) {
            const std::shared_ptr<Run> run = d.CurrentRun();
            if (!run || !run->userSets || !run->device || !run->registers) return;
            UserSetRun& sets = *run->userSets;
            std::lock_guard command(sets.lock);
            status = kSuccess;
            for (size_t at = 0; at < aSize && status == kSuccess; at += 4) {
                const uint32_t word = (aAddress + uint32_t(at) - kUserSetBase) / 4;
                status = word < uint32_t(UserSetRegister::kCount)
                             ? aWord(d, *run, sets, UserSetRegister(word), at)
                             : uint16_t(TqEngine::Gvcp::kInvalidAddress);
            }
        });
        return status;
    }

    std::shared_ptr<Gate> mGate;
};

}  // namespace

void StartUserSets(Core& d, Run& aRun) {
    auto sets = std::make_shared<UserSetRun>();
    {
        std::lock_guard guard(d.lock);
        sets->count = d.userSetCount;
    }
    sets->channels = uint32_t(aRun.sources.size());
    sets->custom = d.genApiFactory.Streamable();
    sets->EnableAll();
    TqEngine::Device& device = *aRun.device;
    ReadValues(device, sets->channels, sets->enabled, sets->factory.features);
    ReadCustom(*aRun.registers, sets->custom, sets->enabled, {}, sets->factory.custom);
    sets->defaultSet = StoredDefault(SerialOf(device), sets->count);
    if (sets->defaultSet != 0) Load(d, aRun, *sets, sets->defaultSet);
    ReadValues(device, sets->channels, sets->enabled, sets->started);
    aRun.userSets = std::move(sets);
}

std::shared_ptr<TqEngine::RegisterHandler> UserSetRegisters(std::shared_ptr<Gate> aGate) {
    return std::make_shared<Registers>(std::move(aGate));
}

void ResetUserSets(Run& aRun) {
    if (!aRun.userSets || !aRun.device) return;
    UserSetRun& sets = *aRun.userSets;
    std::lock_guard command(sets.lock);
    WriteValues(*aRun.device, sets.started);
    sets.selector = 0;
    sets.EnableAll();
}

}  // namespace TqSoftDevice
