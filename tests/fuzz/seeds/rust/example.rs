use std::collections::HashMap;
use crate::util::{parse, Error};

// tools:suppress clippy:needless_return
fn count(words: &[&str]) -> HashMap<&str, usize> {
    let mut map = HashMap::new();
    for w in words {
        *map.entry(*w).or_insert(0) += 1;
    }
    return map;
}

fn main() {
    let mut n = 0;
    while n < 3 { n += 1; if n == 2 { continue; } }
    loop { break; }
    println!("{:?}", count(&["a", "b"]));
}
