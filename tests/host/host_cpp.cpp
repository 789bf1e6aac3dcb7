// A C++ host: loads the library by path, then drives the manager through
// the public interface. Exit code 0 when every check held.
#include <vesk/vesk.h>

#include <cstdio>
#include <cstring>

extern "C" void* vesk_host_load_manager_fn(void);
extern "C" void vesk_host_unload(void);

static int failures = 0;
#define CHECK(cond)                                               \
    do {                                                          \
        if (!(cond)) {                                            \
            std::printf("FAILED line %d: %s\n", __LINE__, #cond); \
            ++failures;                                           \
        }                                                         \
    } while (0)

int main() {
    auto getManagerFn = reinterpret_cast<VeskGetManagerFn>(vesk_host_load_manager_fn());
    if (!getManagerFn) {
        std::printf("FAILED: getManager not found\n");
        return 1;
    }
    VeskManager* a = getManagerFn();
    VeskManager* b = getManagerFn();
    CHECK(a && b && a != b);
    b->release();  // without init

    CHECK(a->getBoardCount() == 0 && a->getChipCount() == 0);
    a->init();
    std::printf("boards %u chips %u\n", a->getBoardCount(), a->getChipCount());
    VeskBoardInfo boards[4];
    std::memset(boards, 0xEE, sizeof boards);
    a->getBoardInfo(boards, 4);
    for (unsigned i = a->getBoardCount(); i < 4; ++i) CHECK(reinterpret_cast<unsigned char*>(&boards[i])[0] == 0xEE);
    CHECK(a->getChip("YM2151", 4000000) == nullptr || a->getChipCount() > 0);
    CHECK(!a->releaseChip(nullptr));
    a->release();

    vesk_host_unload();
    std::printf(failures ? "host_cpp: %d failures\n" : "host_cpp: ok\n", failures);
    return failures ? 1 : 0;
}
