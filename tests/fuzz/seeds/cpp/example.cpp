#include <vector>
#include <string>

namespace shapes {
// tools:off style
class Circle {
 public:
  explicit Circle(double r) : r_(r) {}
  double area() const { return 3.14159 * r_ * r_; }
 private:
  double r_;
};
// tools:on
}

int total(const std::vector<int>& xs) {
  int sum = 0;
  for (int x : xs) sum += x;
  if (sum < 0) { return -sum; } else { return sum; }
}
