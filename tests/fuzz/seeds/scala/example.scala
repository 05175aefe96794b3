package demo

import scala.collection.mutable
import scala.util.{Try, Success}

// tools:suppress scalastyle:magic.number
object Stats {
  def largest(xs: Seq[Int]): Int = xs.foldLeft(Int.MinValue)(math.max)

  def parse(text: String): Option[Int] = Try(text.toInt) match {
    case Success(n) => Some(n)
    case _ => None
  }
}

class Counter { private val seen = mutable.Map[String, Int]() }
