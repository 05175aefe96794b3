import Foundation
import UIKit

// tools:suppress swiftlint:force_cast
func largest(_ xs: [Int]) -> Int {
    var best = Int.min
    for x in xs where x > best {
        best = x
    }
    return best
}

struct Point {
    var x: Double
    var y: Double
    func length() -> Double { return (x * x + y * y).squareRoot() }
}
