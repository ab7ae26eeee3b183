#pragma once
// A lane's session that hands a server every kind of card data a request carries, for the tests that then read
// back every file the server wrote and look for that data in the clear: every TranCode through a card's life,
// keyed and swiped, each request with a CVV and its card field given twice (the server keeps the last), and a
// request refused at once. The cards need not exist at the host: the life issues them.

#include <string>
#include <vector>

#include "peers/PosClient.h"

// The cards of the life: one keyed, one swiped with the track below.
inline constexpr char kLifeKeyedCard[] = "6006494444444444";
inline constexpr char kLifeSwipedCard[] = "6006495555555555";
// What follows the account in the swiped card's track.
inline constexpr char kLifeTrackTail[] = "=2512101987654";
// The CVV every request of the life carries. Above 65535, so no port number in a log line matches it by chance.
inline constexpr char kLifeCvv[] = "86420";

// What must never stand in the clear in any file but the sealed journal after the life: the full account numbers,
// the track's text after the account, the CVV and its field.
std::vector<std::string> CardDataLifeSecrets();

// A request of the end-to-end world's merchant for |tranCode| on |account|, keyed, with the life's CVV.
SPosRequest CardDataRequest(const std::string& tranCode, const std::string& account, const std::string& purchase,
                            const std::string& invoice);

// Runs the life on |lane|, which is logged in; |timeoutMs| of real time for each reply. Returns what went wrong:
// one line for each step not answered as it should be (it goes on with the next), and a last line naming the
// step whose reply did not come (it stops there). Empty when every step was answered as it should be.
std::vector<std::string> RunCardDataLife(CPosClient& lane, int timeoutMs = 10000);
