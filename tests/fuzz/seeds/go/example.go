package main

import (
	"fmt"
	str "strings"
)

// tools:suppress vet:printf
func join(parts []string) string {
	return str.Join(parts, ",")
}

func main() {
	for i := 0; i < 3; i++ {
		if i == 1 {
			continue
		}
		fmt.Println(join([]string{"a", fmt.Sprint(i)}))
	}
}
