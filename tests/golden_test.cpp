// Seeded runs end exactly where they always have: the fingerprint of each run's final state
// (every individual's genes and fitness bits in slot order, best, the counters) is held here.
// Speed work on the sort, the grouping or the allocation must leave every one unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "square_root.h"

namespace allelix {
namespace {

// FNV-1a over 64-bit words: of each individual in slot order (its gene count, its genes and
// locks two bits a gene, 32 genes to a word, its fitness bits and its mark), then best (if any)
// and the counters.
template <class TGenerator>
std::uint64_t Fingerprint(const TGenerator& g) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](std::uint64_t v) {
    for (int bit = 0; bit < 64; bit += 8) hash = (hash ^ ((v >> bit) & 0xFFu)) * 1099511628211ull;
  };
  const auto mixIndividual = [&mix](const auto& x) {
    mix(static_cast<std::uint64_t>(x.geneCount));
    std::uint64_t word = 0;
    for (int j = 0; j < x.geneCount; ++j) {
      word = word << 2 | (x.genes[j]->value ? 1u : 0u) | (x.genes[j]->locked ? 2u : 0u);
      if (j % 32 == 31) mix(std::exchange(word, 0));
    }
    mix(word);
    mix(std::bit_cast<std::uint64_t>(x.fitness));
    mix(x.marked);
  };
  mix(static_cast<std::uint64_t>(g.population->count));
  for (int i = 0; i < g.population->count; ++i) mixIndividual(*g.population->individuals[i]);
  mix(g.best != nullptr);
  if (g.best != nullptr) mixIndividual(*g.best);
  for (const int counter : {g.populationSize, g.generation, g.bestGeneration}) mix(counter);
  return hash;
}

enum Scoring { SquareRoot, OneMax, Signed, NonFinite };

// Scores as `scoring` says. SquareRoot: the demonstration's fitness. OneMax: the share of set
// genes, few distinct values, so ties everywhere at any chromosome length. Signed: the square-root
// fitness, except that some numbers score -0.0 or a negative value; NonFinite: others NaN or
// infinity too. The sort's and the operators' awkward cases.
class CScored final : public CIndividual<CScored, CBit> {
 public:
  static inline Scoring scoring = SquareRoot;

  double Fitness(int /*context*/) override {
    if (scoring == OneMax)
      return std::count_if(genes, genes + geneCount, [](CBit* b) { return b->value; }) /
             double(geneCount);
    const std::uint32_t x = demo::DecodeBits(*this);
    if (scoring == NonFinite && x % 61 == 0) return std::numeric_limits<double>::quiet_NaN();
    if (scoring == NonFinite && x % 401 == 0) return std::numeric_limits<double>::infinity();
    if (scoring != SquareRoot && x % 53 == 0) return -0.0;
    const double s = x > 9999u ? 0 : 1 - std::abs(demo::Square - std::int32_t(x * x)) / 99980001.0;
    return scoring != SquareRoot && x % 47 == 0 ? -s : s;
  }
};

// Seeded runs of a given number of generations, one per crossover type, for one engine,
// selection type, scoring and shape.
struct OperatorRuns {
  Engine engine;
  int selection, size = 1000, genes = 14, generations = 12;
  Scoring scoring = SquareRoot;
  double mutationRate = static_cast<double>(0.001f);
  std::array<std::uint64_t, 4> byCrossover;  // CrossoverNone to CrossoverUniform
};

std::uint64_t RunFingerprint(const OperatorRuns& runs, int crossover) {
  const ScopedSeedSchedule schedule(2024u + static_cast<std::uint32_t>(crossover), runs.engine);
  CScored::scoring = runs.scoring;
  CGeneratorEx<CScored> generator;
  generator.selectionType = runs.selection;
  generator.crossoverType = crossover;
  generator.mutationRate = runs.mutationRate;
  generator.Initialize(runs.size, runs.genes);
  for (int g = 0; g < runs.generations; ++g) generator.NextGeneration();
  return Fingerprint(generator);
}

// clang-format off
const OperatorRuns Table[] = {
    {.engine = Engine::Mt19937, .selection = SelectionNone, .byCrossover = {0x36242f8804c45d9full, 0x569fa72ca7b20d30ull, 0x6683c8fe5d981ecfull, 0x85d3de15f03a19e0ull}},
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .byCrossover = {0xc7f9669bfe693c04ull, 0xa24b24c963f3adaeull, 0xc2839690dbe14f81ull, 0x0da4c3241eab110cull}},
    {.engine = Engine::Mt19937, .selection = SelectionStochasticRemainder, .byCrossover = {0x00ede3a7f266ea8dull, 0x58f7e6045c56cab1ull, 0x28a14596030e362full, 0xa2871b7aac0ae491ull}},
    {.engine = Engine::Mt19937, .selection = SelectionElitism, .byCrossover = {0x0221063e760998f4ull, 0x04a5e493dd833214ull, 0x66172451a5d4b516ull, 0xf1d88a7d16e685e7ull}},
    {.engine = Engine::Mt19937, .selection = SelectionTournament, .byCrossover = {0xc074f15cce7462dfull, 0xd91f43a9607029aeull, 0x8fc14e2d57844e6eull, 0x7c71529141cd7eb9ull}},
    {.engine = Engine::Classic, .selection = SelectionNone, .byCrossover = {0x574e1488f16ec816ull, 0x04c7ddbf54a825ffull, 0xd5a95a356875a194ull, 0x39864a81929e677bull}},
    {.engine = Engine::Classic, .selection = SelectionRouletteWheel, .byCrossover = {0x889f621ca05942f2ull, 0x73ee23d068310745ull, 0xbf7eeed313a42ff3ull, 0xeaf58c39a4c679fdull}},
    {.engine = Engine::Classic, .selection = SelectionStochasticRemainder, .byCrossover = {0xbf90bb947650252cull, 0xe97380ddf76a90baull, 0x902f5b1262f6cbf9ull, 0xe678296340d1e072ull}},
    {.engine = Engine::Classic, .selection = SelectionElitism, .byCrossover = {0xa1821701239e1264ull, 0x06572cfc36d234f8ull, 0x3c29679a2a938a15ull, 0x88e9895c834d8daeull}},
    {.engine = Engine::Classic, .selection = SelectionTournament, .byCrossover = {0x840315a2ddbcf5f6ull, 0xda965e3f3f60757eull, 0x6ca6d9dd27eb1195ull, 0x40718648c336090full}},
    {.engine = Engine::Runtime, .selection = SelectionNone, .byCrossover = {0x88d5cceb89fe05b9ull, 0x726aac112006b855ull, 0x4103707d3e98281aull, 0x38fb597b10d50a39ull}},
    {.engine = Engine::Runtime, .selection = SelectionRouletteWheel, .byCrossover = {0xe62d0a22c18faaedull, 0xfcb3a808739d9a7eull, 0x4ac72fa625b36366ull, 0x4c8cac388bb19cf1ull}},
    {.engine = Engine::Runtime, .selection = SelectionStochasticRemainder, .byCrossover = {0x91d38032bc67da66ull, 0xa3bf2b263b769a42ull, 0x126a4c170ed08370ull, 0xeac1ef871ccfd9baull}},
    {.engine = Engine::Runtime, .selection = SelectionElitism, .byCrossover = {0x476b4e6466e201bfull, 0x3d23e6a4f8c0dc29ull, 0x9cbd4285c314c624ull, 0x5cf0cfef249f6d3eull}},
    {.engine = Engine::Runtime, .selection = SelectionTournament, .byCrossover = {0xf9ab6d530c668854ull, 0x31db25e254641239ull, 0x88ce8b0ff812c898ull, 0x46eafa1128f32858ull}},
    // Populations past a few thousand, where the sort meets thousands of distinct values.
    {.engine = Engine::Mt19937, .selection = SelectionElitism, .size = 5000, .generations = 4, .byCrossover = {0x369b1cc5c5bcfc0eull, 0xca045609e6997fb7ull, 0x447be68b2c9130e6ull, 0x995ee10bcb9da8fcull}},
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .size = 5000, .generations = 4, .byCrossover = {0xcdcd9734285ca531ull, 0x119e17cb17344456ull, 0x2b299002d971bf95ull, 0x662b829ccfd04555ull}},
    // Chromosomes of one whole word and of more than one, grouped by their packed genes.
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .size = 300, .genes = 64, .generations = 30, .scoring = OneMax, .mutationRate = 0.3, .byCrossover = {0x2fe967365cff5aa1ull, 0xb91229d7837e8058ull, 0x4be75390192987feull, 0x9eefef35362ca831ull}},
    {.engine = Engine::Mt19937, .selection = SelectionStochasticRemainder, .size = 300, .genes = 64, .generations = 30, .scoring = OneMax, .mutationRate = 0.3, .byCrossover = {0x92b302eb141be987ull, 0xc48fc4ffb6c25001ull, 0x5a3f7d2862192717ull, 0x6d8c998d9a3319e8ull}},
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .size = 300, .genes = 100, .generations = 30, .scoring = OneMax, .mutationRate = 0.3, .byCrossover = {0x46cd69b877d144d1ull, 0x4db5e0b55db10acbull, 0xf70d53a813c03949ull, 0xc780cdf0ae8a2aaaull}},
    {.engine = Engine::Mt19937, .selection = SelectionStochasticRemainder, .size = 300, .genes = 100, .generations = 30, .scoring = OneMax, .mutationRate = 0.3, .byCrossover = {0xa8f2a552b4dc9fe2ull, 0x98ce7ccb45e566fcull, 0xc8a0dedd7c791359ull, 0x7b0c585d66179772ull}},
    {.engine = Engine::Mt19937, .selection = SelectionElitism, .size = 2000, .genes = 100, .generations = 10, .scoring = OneMax, .mutationRate = 0.3, .byCrossover = {0x4c16efadefe94e64ull, 0x252db60a14eb0aafull, 0xc812e0928573af24ull, 0x13f58e24805f9538ull}},
    // -0.0 and negative values; then NaN and infinities too (the proportional operators' mean
    // is then NaN, so they fall back to picking old slots).
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .size = 500, .generations = 20, .scoring = Signed, .mutationRate = 0.2, .byCrossover = {0x7fb659466503c1feull, 0x34cfade9871ee4abull, 0xd81d7fb96817ddecull, 0xcbfed8a0553f28e3ull}},
    {.engine = Engine::Mt19937, .selection = SelectionStochasticRemainder, .size = 500, .generations = 20, .scoring = Signed, .mutationRate = 0.2, .byCrossover = {0x16ae3e3748a86109ull, 0x0ebf1e195506ecc0ull, 0xef1d874c19925dceull, 0x4c779095f9165367ull}},
    {.engine = Engine::Mt19937, .selection = SelectionElitism, .size = 500, .generations = 20, .scoring = Signed, .mutationRate = 0.2, .byCrossover = {0x39889cbaeaf6809cull, 0xbffcd2a0e79f4208ull, 0x6c20b35b828968ebull, 0xba2f8f044d9337c9ull}},
    {.engine = Engine::Mt19937, .selection = SelectionTournament, .size = 500, .generations = 20, .scoring = Signed, .mutationRate = 0.2, .byCrossover = {0x8d6577623eb569c4ull, 0x8485befe4df6055aull, 0x6079268b0225351dull, 0x447e082ed55df5b3ull}},
    {.engine = Engine::Mt19937, .selection = SelectionRouletteWheel, .size = 500, .generations = 20, .scoring = NonFinite, .mutationRate = 0.2, .byCrossover = {0x53f4960ab615e38bull, 0xedcad79a2316a944ull, 0x0c35623050b2d84full, 0xacb8e089e0ca4c4cull}},
    {.engine = Engine::Mt19937, .selection = SelectionElitism, .size = 500, .generations = 20, .scoring = NonFinite, .mutationRate = 0.2, .byCrossover = {0xd5c51bc47cb9a68dull, 0x2f4d3e96de623477ull, 0x1a56562f08e1c3e4ull, 0xde5bb4aa5265637cull}},
    {.engine = Engine::Mt19937, .selection = SelectionTournament, .size = 500, .generations = 20, .scoring = NonFinite, .mutationRate = 0.2, .byCrossover = {0xdced5f4ce48183aaull, 0xf1491c0bc9d77b66ull, 0x3a13d16692bb1327ull, 0x985e3cedd9737ca9ull}},
};
// clang-format on

// Twenty demonstration runs, then seeded runs of every selection and crossover type.
TEST(Golden, SeededRunsEndWhereTheyAlwaysHave) {
  constexpr std::array<std::uint64_t, 20> expected = {
      0x5020f2e88ad0014full, 0x8c8d6e2b2e9a7a20ull, 0x1e6c8f23a7e69ef9ull, 0x104d70c1f8576a8dull,
      0x2eee7d694f1672c5ull, 0x619012bbc9125ae2ull, 0xa01c0b40e1a216d4ull, 0xe0419d138e79a88eull,
      0x28de6426e710d9efull, 0x14a7e7ca5a897617ull, 0xe098fc985712b6b4ull, 0x317d85e0f9d138fcull,
      0x0ec0bd3b9d45ece9ull, 0xb1ef04956b1c7b0cull, 0x4fd5422290be7b69ull, 0x9015d5cf71d9e275ull,
      0xbbe27876d09fe305ull, 0x24a4f51208c8835cull, 0x03754d9c68d4fe0cull, 0xe06ba43535cd3bb6ull};
  for (std::uint32_t run = 0; run < expected.size(); ++run) {
    const ScopedSeedSchedule schedule(1 + 10000 * run, Engine::Mt19937);
    demo::CMyGenerator generator;
    allelix::Run(generator);
    EXPECT_EQ(Fingerprint(generator), expected[run]) << "seed " << 1 + 10000 * run;
  }
  // The runtime engine's rows hold the sequence of glibc's rand().
  const bool glibc = (std::srand(1), std::rand() == 1804289383);
  for (const OperatorRuns& runs : Table) {
    if (runs.engine == Engine::Runtime && !glibc) continue;
    for (std::size_t crossover = 0; crossover < runs.byCrossover.size(); ++crossover)
      EXPECT_EQ(RunFingerprint(runs, int(crossover)), runs.byCrossover[crossover])
          << "row " << &runs - Table << ", crossover " << crossover;
  }
}

}  // namespace
}  // namespace allelix
