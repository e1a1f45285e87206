#include "exchange/queue_fill.h"

#include <gtest/gtest.h>

namespace orva::exchange {
namespace {

const Quotes kBook{100.0, 101.0, 30, 20};  // bid 100 × 30, ask 101 × 20

std::vector<long long> trade_one(bool buy, double price, long long open, QueuePosition& queue,
                                 double close, long long volume) {
  std::vector<Resting> orders{{buy, price, open, &queue}};
  return trade(orders, close, volume);
}

TEST(QueueArrival, AtTheBidQueuesBehindItsQuantity) {
  const Arrival a = arrive(true, 100.0, 5, kBook);
  EXPECT_EQ(a.take, 0);
  EXPECT_TRUE(a.queue.known);
  EXPECT_EQ(a.queue.ahead, 30);
  EXPECT_EQ(arrive(false, 101.0, 5, kBook).queue.ahead, 20);  // a sell at the ask
}

TEST(QueueArrival, ImprovingTheBestIsFirstInLine) {
  const Quotes wide{100.0, 102.0, 30, 20};
  EXPECT_EQ(arrive(true, 101.0, 5, wide).queue.ahead, 0);
  EXPECT_TRUE(arrive(true, 101.0, 5, wide).queue.known);
  EXPECT_EQ(arrive(false, 101.0, 5, wide).queue.ahead, 0);
}

TEST(QueueArrival, ASellInsideTheSpreadFillsFromTheFirstTradeAtItsPrice) {
  const Quotes wide{100.0, 102.0, 30, 20};
  Arrival sell = arrive(false, 101.0, 5, wide);
  EXPECT_EQ(trade_one(false, 101.0, 5, sell.queue, 101.0, 3), std::vector<long long>{3});
  Arrival buy = arrive(true, 101.0, 5, wide);
  EXPECT_EQ(trade_one(true, 101.0, 5, buy.queue, 101.0, 3), std::vector<long long>{3});
}

TEST(QueueArrival, CrossingTakesWhatTheOppositeSideShows) {
  const Arrival a = arrive(true, 102.0, 50, kBook);
  EXPECT_EQ(a.take, 20);
  EXPECT_EQ(a.price, 101.0);  // at the ask, not the limit
  EXPECT_TRUE(a.queue.known);
  const Arrival s = arrive(false, 100.0, 7, kBook);
  EXPECT_EQ(s.take, 7);
  EXPECT_EQ(s.price, 100.0);
}

TEST(QueueArrival, BehindTheBestOrWithUnusableQuotesThePlaceIsUnknown) {
  EXPECT_FALSE(arrive(true, 99.0, 5, kBook).queue.known);
  for (const Quotes& bad : {Quotes{}, Quotes{101.0, 100.0, 5, 5}, Quotes{100.0, 100.0, 5, 5},
                            Quotes{100.0, 101.0, 0, 5}}) {
    const Arrival a = arrive(true, 102.0, 5, bad);
    EXPECT_EQ(a.take, 0);
    EXPECT_FALSE(a.queue.known);
  }
}

TEST(QueueTrade, VolumeAtThePriceWorksOffTheQueueFirst) {
  QueuePosition q{true, 30};
  EXPECT_EQ(trade_one(true, 100.0, 5, q, 100.0, 25)[0], 0);
  EXPECT_EQ(q.ahead, 5);
  EXPECT_EQ(trade_one(true, 100.0, 5, q, 100.0, 8)[0], 3);  // a partial fill across ticks
  EXPECT_EQ(q.ahead, 0);
  EXPECT_EQ(trade_one(true, 100.0, 2, q, 100.0, 8)[0], 2);
  EXPECT_EQ(trade_one(true, 100.0, 2, q, 100.5, 8)[0], 0);  // above a buy's price: nothing
}

TEST(QueueTrade, UnknownPlaceFillsOnlyThroughItsPriceUntilShownAsTheBest) {
  QueuePosition q = arrive(true, 99.0, 5, kBook).queue;
  EXPECT_EQ(trade_one(true, 99.0, 5, q, 99.0, 100)[0], 0);
  EXPECT_EQ(trade_one(true, 99.0, 5, q, 98.5, 3)[0], 3);  // through its price
  QueuePosition later = arrive(true, 99.0, 5, kBook).queue;
  observe(later, true, 99.0, Quotes{99.0, 100.0, 12, 4});
  EXPECT_TRUE(later.known);
  EXPECT_EQ(later.ahead, 12);
  observe(later, true, 99.0, Quotes{99.0, 100.0, 2, 4});  // displayed quantity leaving: none counted
  EXPECT_EQ(later.ahead, 12);
}

TEST(QueueTrade, OwnOrdersAtOnePriceQueueInArrivalOrderAndShareTheVolume) {
  QueuePosition first{true, 10}, second{true, 4};  // the second came later: it is behind the first
  std::vector<Resting> orders{{true, 100.0, 5, &first}, {true, 100.0, 5, &second}};
  EXPECT_EQ(trade(orders, 100.0, 13), (std::vector<long long>{3, 0}));
  orders[0].open = 2;
  EXPECT_EQ(trade(orders, 100.0, 4), (std::vector<long long>{2, 2}));
  orders[0].open = 0;
  orders[1].open = 3;
  EXPECT_EQ(trade(orders, 100.0, 6), (std::vector<long long>{0, 3}));
  QueuePosition a{true, 0}, b{true, 0};
  std::vector<Resting> through{{true, 101.0, 4, &a}, {true, 102.0, 4, &b}};
  EXPECT_EQ(trade(through, 100.0, 6), (std::vector<long long>{4, 2}));  // never beyond the volume
}

}  // namespace
}  // namespace orva::exchange
