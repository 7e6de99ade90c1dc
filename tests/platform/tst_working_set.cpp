// Giving back idle pages: on a real loaded object, what is dropped comes back intact on use,
// and pages that exist only in this process (patched, relocated) are never dropped.
#include "platform/linux/process/working_set.h"
#include "platform/linux/process/working_set_schedule.h"

#include <QByteArray>
#include <QFile>
#include <QTest>

#include <dlfcn.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

namespace mornix {

namespace {

std::optional<working_set::Mapping> mappingAt(const void *address)
{
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = smaps.readAll();
    const auto at = reinterpret_cast<std::size_t>(address);
    for (const working_set::Mapping &mapping : working_set::parseSmaps(std::string_view(text.data(), text.size()))) {
        if (mapping.start <= at && at < mapping.end)
            return mapping;
    }
    return std::nullopt;
}

QByteArray sha256Hex(const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &length, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

}  // namespace

class TestWorkingSet : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_module = dlopen(MORNIX_WORKING_SET_MODULE, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(m_module, dlerror());
        m_pattern = static_cast<volatile unsigned char *>(dlsym(m_module, "mornix_ws_pattern"));
        m_sum = reinterpret_cast<int (*)()>(dlsym(m_module, "mornix_ws_sum"));
        QVERIFY(m_pattern && m_sum);
    }

    void dropsCleanPagesAndKeepsOwnOnes()
    {
        const long page = sysconf(_SC_PAGESIZE);
        QCOMPARE(m_sum(), 3);
        for (int i = 0; i < 4 * 4096; i += int(page))
            QCOMPARE(m_pattern[i], 0x5a);
        // A page of read-only data patched the way a debugger or a text relocation does it:
        // the mapping now holds a page that exists nowhere else.
        auto *patched = const_cast<unsigned char *>(m_pattern);
        QCOMPARE(mprotect(patched, size_t(page), PROT_READ | PROT_WRITE), 0);
        patched[0] = 0x77;
        QCOMPARE(mprotect(patched, size_t(page), PROT_READ), 0);
        const std::optional<working_set::Mapping> ownBefore = mappingAt(patched);
        QVERIFY(ownBefore && ownBefore->anonymousBytes > 0);

        const std::optional<working_set::Mapping> codeBefore = mappingAt(reinterpret_cast<const void *>(m_sum));
        QVERIFY(codeBefore && !codeBefore->writable && codeBefore->rssBytes > 0);

        const std::optional<WorkingSetRelease> release = releaseIdlePages();
        QVERIFY(release);
        QVERIFY(release->ranges > 0);
        QVERIFY(release->residentAfter < release->residentBefore);

        // The module's code is no longer resident until it runs again...
        const std::optional<working_set::Mapping> codeAfter = mappingAt(reinterpret_cast<const void *>(m_sum));
        QVERIFY(codeAfter);
        QCOMPARE(codeAfter->rssBytes, std::size_t(0));
        // ...and then it runs as before, through its relocated table of pointers.
        QCOMPARE(m_sum(), 3);
        // The patched page kept the patch, the rest of the data reads as the file has it.
        QCOMPARE(m_pattern[0], 0x77);
        for (int i = int(page); i < 4 * 4096; i += int(page))
            QCOMPARE(m_pattern[i], 0x5a);
        // Code of the libraries that was given back works again: SHA-256 of "abc".
        QCOMPARE(sha256Hex("abc"), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void smapsEntriesThatAreNeverReleased_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<bool>("releasable");
        const QByteArray code = "7f0000000000-7f0000004000 r-xp 00001000 08:01 4242    /usr/lib/libx.so.1\n";
        const QByteArray attributes = "Rss:                  16 kB\nAnonymous:             0 kB\n"
                                      "KernelPageSize:        4 kB\nVmFlags: rd ex mr mw me\n";
        QTest::newRow("library code") << code + attributes << true;
        QTest::newRow("own page") << code + QByteArray(attributes).replace("Anonymous:             0", "Anonymous: 4")
                                  << false;
        QTest::newRow("writable") << QByteArray(code).replace("r-xp", "rw-p") + attributes << false;
        QTest::newRow("not resident") << code + QByteArray(attributes).replace("Rss:                  16", "Rss: 0")
                                      << false;
        QTest::newRow("deleted file") << QByteArray(code).replace(".so.1", ".so.1 (deleted)") + attributes << false;
        QTest::newRow("anonymous") << QByteArray("7f0000000000-7f0000004000 r--p 00000000 00:00 0 \n") + attributes
                                   << false;
        QTest::newRow("device") << QByteArray(code).replace("/usr/lib/libx.so.1", "/dev/dri/card0") + attributes
                                << false;
        QTest::newRow("huge pages")
            << code + QByteArray(attributes).replace("KernelPageSize:        4", "KernelPageSize: 2048") << false;
        QTest::newRow("device memory flag") << code + QByteArray(attributes).replace("rd ex", "rd ex io") << false;
        QTest::newRow("locked") << code + QByteArray(attributes).replace("rd ex", "rd lo ex") << false;
    }
    void smapsEntriesThatAreNeverReleased()
    {
        QFETCH(QByteArray, entry);
        QFETCH(bool, releasable);
        // Two entries, so that the second's attributes are not read into the first.
        const QByteArray text = entry + "7f0000010000-7f0000011000 rw-p 00000000 00:00 0 \nRss: 4 kB\n";
        const std::vector<working_set::Mapping> mappings =
            working_set::parseSmaps(std::string_view(text.data(), text.size()));
        QCOMPARE(mappings.size(), std::size_t(2));
        QCOMPARE(mappings[0].start, std::size_t(0x7f0000000000));
        QCOMPARE(mappings[0].end, std::size_t(0x7f0000004000));
        QCOMPARE(mappings[0].releasable(), releasable);
        QVERIFY(!mappings[1].releasable());
    }

    void releasesOnceSettledAndAgainWhenRegrown()
    {
        int releases = 0;
        std::size_t resident = 10'000;
        bool releaseWorks = true;
        WorkingSetSchedule::Timing timing{std::chrono::milliseconds(20), std::chrono::milliseconds(10), 1000};
        WorkingSetSchedule schedule(
            timing,
            [&]() -> std::optional<std::size_t> {
                ++releases;
                if (!releaseWorks)
                    return std::nullopt;
                resident = 5000;
                return resident;
            },
            [&]() -> std::optional<std::size_t> { return resident; });
        schedule.start();
        QTRY_COMPARE(releases, 1);
        // Grown, but within the allowance: left alone.
        resident = 5900;
        QTest::qWait(60);
        QCOMPARE(releases, 1);
        resident = 6100;
        QTRY_COMPARE(releases, 2);
        // A release that cannot be done is not tried again and again.
        releaseWorks = false;
        resident = 7000;
        QTRY_COMPARE(releases, 3);
        resident = 9000;
        QTest::qWait(60);
        QCOMPARE(releases, 3);
    }

private:
    void *m_module = nullptr;
    volatile unsigned char *m_pattern = nullptr;
    int (*m_sum)() = nullptr;
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::TestWorkingSet)
#include "tst_working_set.moc"
