// The update server and the release key of this build. Compiled once per
// program, so that the test builds can name their own.
#include "common/text.h"
#include "update/update_server.h"

#ifndef BRINVALE_UPDATE_HOST
#define BRINVALE_UPDATE_HOST "update.brinvale.invalid"
#endif
#ifndef BRINVALE_UPDATE_KEY
#define BRINVALE_UPDATE_KEY ""
#endif

namespace brinvale {

std::wstring UpdateServerUrl(const char* path)
{
    return L"http://" + FromAnsi(BRINVALE_UPDATE_HOST) + FromAnsi(path);
}

bool UpdatesAreSigned()
{
    return BRINVALE_UPDATE_KEY[0] != '\0';
}

bool AsksForUpdates()
{
#ifdef BRINVALE_TEST_BUILD
    // The update tests' own builds keep the plain protocol as well.
    return true;
#else
    return UpdatesAreSigned();
#endif
}

std::optional<P256PublicKey> UpdatePublicKey()
{
    return P256PublicKeyFromPem(BRINVALE_UPDATE_KEY);
}

}  // namespace brinvale
