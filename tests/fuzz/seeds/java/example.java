package demo;

import java.util.List;
import static java.lang.Math.max;

// tools:suppress checkstyle:MagicNumber
public class Stats {
    public static int largest(List<Integer> xs) {
        int best = Integer.MIN_VALUE;
        for (int x : xs) {
            best = max(best, x);
        }
        return best;
    }

    void report() { System.out.println(largest(List.of(1, 2, 3))); }
}
