package demo

import kotlin.math.max
import java.io.File as JFile

// tools:suppress detekt:MagicNumber
fun largest(xs: List<Int>): Int {
    var best = Int.MIN_VALUE
    for (x in xs) {
        best = max(best, x)
    }
    return best
}

class Reader(private val path: String) {
    fun lines(): List<String> = JFile(path).readLines().filter { it.isNotBlank() }
}
